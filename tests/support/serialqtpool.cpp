// Preloaded into the tests of the ThreadSanitizer build. Qt's image conversions and smooth scaling
// spread large images over Qt's global thread pool and wait on a QSemaphore, which Qt builds on
// raw futexes that the sanitizer cannot follow, so each such call would be reported as a race
// inside Qt. Qt runs that work on the calling thread when there is no global pool, so here there
// is none. Our own threads (parallelFor, OrderedWorker) are std threads and are unaffected.
#include <QThreadPool>

QThreadPool *QThreadPool::globalInstance()
{
    return nullptr;
}
