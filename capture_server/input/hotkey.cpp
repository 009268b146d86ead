#include "hotkey.h"

#include <QKeySequence>

namespace {

// Keys other than letters and digits that a hotkey may use: Qt's key, the X keysym, the keysym's
// name (the portal's notation).
struct NamedKey
{
    int qtKey;
    std::uint32_t keysym;
    const char *name;
};

constexpr NamedKey namedKeys[] = {
    {Qt::Key_Escape, 0xff1b, "Escape"},   {Qt::Key_Tab, 0xff09, "Tab"},         {Qt::Key_Backspace, 0xff08, "BackSpace"},
    {Qt::Key_Return, 0xff0d, "Return"},   {Qt::Key_Enter, 0xff8d, "KP_Enter"},  {Qt::Key_Insert, 0xff63, "Insert"},
    {Qt::Key_Delete, 0xffff, "Delete"},   {Qt::Key_Pause, 0xff13, "Pause"},     {Qt::Key_Print, 0xff61, "Print"},
    {Qt::Key_Home, 0xff50, "Home"},       {Qt::Key_End, 0xff57, "End"},         {Qt::Key_Left, 0xff51, "Left"},
    {Qt::Key_Up, 0xff52, "Up"},           {Qt::Key_Right, 0xff53, "Right"},     {Qt::Key_Down, 0xff54, "Down"},
    {Qt::Key_PageUp, 0xff55, "Prior"},    {Qt::Key_PageDown, 0xff56, "Next"},   {Qt::Key_Space, 0x20, "space"},
    {Qt::Key_Comma, 0x2c, "comma"},       {Qt::Key_Period, 0x2e, "period"},     {Qt::Key_Minus, 0x2d, "minus"},
    {Qt::Key_Equal, 0x3d, "equal"},       {Qt::Key_Slash, 0x2f, "slash"},       {Qt::Key_Semicolon, 0x3b, "semicolon"},
    {Qt::Key_Apostrophe, 0x27, "apostrophe"}, {Qt::Key_BracketLeft, 0x5b, "bracketleft"},
    {Qt::Key_BracketRight, 0x5d, "bracketright"}, {Qt::Key_Backslash, 0x5c, "backslash"},
    {Qt::Key_QuoteLeft, 0x60, "grave"},
};

// The keysym and its name for a Qt key; false for a key a hotkey cannot use (a modifier alone,
// a key without a keysym of its own here).
bool keysymFor(int key, std::uint32_t &keysym, QString &name)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z) {
        keysym = std::uint32_t(key - Qt::Key_A + 'a'); // the unshifted symbol of the key
        name = QChar(char(keysym));
        return true;
    }
    if (key >= Qt::Key_0 && key <= Qt::Key_9) {
        keysym = std::uint32_t(key);
        name = QChar(char(keysym));
        return true;
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35) {
        keysym = 0xffbe + std::uint32_t(key - Qt::Key_F1);
        name = QStringLiteral("F%1").arg(key - Qt::Key_F1 + 1);
        return true;
    }
    for (const NamedKey &named : namedKeys) {
        if (named.qtKey == key) {
            keysym = named.keysym;
            name = QLatin1String(named.name);
            return true;
        }
    }
    return false;
}

} // namespace

QString hotkeyActionName(HotkeyAction action)
{
    switch (action) {
    case HotkeyAction::StartStop:
        return QStringLiteral("Start/Stop");
    case HotkeyAction::Pause:
        return QStringLiteral("Pause/Resume");
    case HotkeyAction::Mark:
        return QStringLiteral("Mark");
    }
    return {};
}

QString hotkeyOptionName(HotkeyAction action)
{
    switch (action) {
    case HotkeyAction::StartStop:
        return QStringLiteral("startstop");
    case HotkeyAction::Pause:
        return QStringLiteral("pause");
    case HotkeyAction::Mark:
        return QStringLiteral("mark");
    }
    return {};
}

Hotkey defaultHotkey(HotkeyAction action)
{
    Hotkey hotkey;
    QString error;
    const QString letter = action == HotkeyAction::StartStop ? QStringLiteral("R")
                           : action == HotkeyAction::Pause   ? QStringLiteral("P")
                                                             : QStringLiteral("M");
    const bool parsed = parseHotkey(QStringLiteral("Ctrl+Alt+Shift+") + letter, hotkey, error);
    Q_ASSERT(parsed);
    Q_UNUSED(parsed);
    return hotkey;
}

bool parseHotkey(const QString &text, Hotkey &hotkey, QString &error)
{
    const QString trimmed = text.trimmed();
    if (trimmed.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
        hotkey = Hotkey{0, 0, QStringLiteral("none")};
        return true;
    }
    const QKeySequence sequence = QKeySequence::fromString(trimmed, QKeySequence::PortableText);
    if (sequence.isEmpty() || sequence[0].key() == Qt::Key_unknown) {
        error = QStringLiteral("not a key combination");
        return false;
    }
    if (sequence.count() != 1) {
        error = QStringLiteral("a sequence of %1 keys; a hotkey is one key with its modifiers").arg(sequence.count());
        return false;
    }
    const QKeyCombination combination = sequence[0];
    const Qt::KeyboardModifiers qtModifiers = combination.keyboardModifiers();
    if (qtModifiers & Qt::KeypadModifier) {
        error = QStringLiteral("keypad keys cannot be hotkeys");
        return false;
    }
    Hotkey parsed;
    QString name;
    if (!keysymFor(combination.key(), parsed.keysym, name)) {
        error = QStringLiteral("%1 cannot be a hotkey's key").arg(QKeySequence(combination.key()).toString());
        return false;
    }
    if (qtModifiers & Qt::ShiftModifier)
        parsed.modifiers |= HotkeyShift;
    if (qtModifiers & Qt::ControlModifier)
        parsed.modifiers |= HotkeyControl;
    if (qtModifiers & Qt::AltModifier)
        parsed.modifiers |= HotkeyAlt;
    if (qtModifiers & Qt::MetaModifier)
        parsed.modifiers |= HotkeySuper;
    parsed.text = sequence.toString(QKeySequence::PortableText);
    hotkey = parsed;
    return true;
}

QString portalTrigger(const Hotkey &hotkey)
{
    if (hotkey.isNone())
        return {};
    QString trigger;
    if (hotkey.modifiers & HotkeyControl)
        trigger += QStringLiteral("CTRL+");
    if (hotkey.modifiers & HotkeyAlt)
        trigger += QStringLiteral("ALT+");
    if (hotkey.modifiers & HotkeyShift)
        trigger += QStringLiteral("SHIFT+");
    if (hotkey.modifiers & HotkeySuper)
        trigger += QStringLiteral("LOGO+");
    // The key's name is the last part of the text Qt wrote, in the keysym's spelling.
    const QKeySequence sequence = QKeySequence::fromString(hotkey.text, QKeySequence::PortableText);
    std::uint32_t keysym = 0;
    QString name;
    if (!sequence.isEmpty() && keysymFor(sequence[0].key(), keysym, name))
        trigger += name;
    return trigger;
}
