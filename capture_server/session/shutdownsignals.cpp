#include "shutdownsignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_requested = 0;

extern "C" void forwardSignal(int signalNumber)
{
    if (signalNumber != SIGUSR1)
        g_requested = 1;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Only async-signal-safe calls here; a full pipe just loses a duplicate request.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
}

} // namespace

void ShutdownSignals::install()
{
    if (g_pipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGUSR1, &action, nullptr);
    // A parent may have left them blocked; we handle them, so we take them.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGUSR1);
    ::sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}

ShutdownSignals::ShutdownSignals(QObject *parent)
    : QObject(parent)
{
    install();
    if (g_pipe[0] < 0)
        return;
    // A signal that came before this object is waiting in the pipe: read once the loop runs.
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ShutdownSignals::readSignal);
}

ShutdownSignals::~ShutdownSignals()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGUSR1, SIG_DFL);
    for (int &fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool ShutdownSignals::requested()
{
    return g_requested != 0;
}

void ShutdownSignals::readSignal()
{
    unsigned char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1) {
        if (int(byte) == SIGUSR1)
            Q_EMIT pauseToggleRequested();
        else
            Q_EMIT shutdownRequested(int(byte));
    }
}
