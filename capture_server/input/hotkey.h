#pragma once

#include <QString>

#include <array>
#include <cstdint>

// What a global hotkey does.
enum class HotkeyAction { StartStop, Pause, Mark };
constexpr std::array<HotkeyAction, 3> allHotkeyActions{HotkeyAction::StartStop, HotkeyAction::Pause, HotkeyAction::Mark};

// The action's name in the window ("Start/Stop", "Pause/Resume", "Mark") and its option's
// ("startstop", "pause", "mark": --hotkey-startstop ...).
[[nodiscard]] QString hotkeyActionName(HotkeyAction action);
[[nodiscard]] QString hotkeyOptionName(HotkeyAction action);

// Modifier bits of a hotkey, as the X server's core protocol numbers them (so they go to a key
// grab as they are): Shift, Control, Mod1 (Alt) and Mod4 (Super).
enum HotkeyModifier : std::uint16_t {
    HotkeyShift = 1 << 0,
    HotkeyControl = 1 << 2,
    HotkeyAlt = 1 << 3,
    HotkeySuper = 1 << 6,
};

// One key with its modifiers, e.g. Ctrl+Alt+Shift+R. A default-constructed one is "none": no
// hotkey for that action.
struct Hotkey
{
    std::uint32_t keysym = 0;    // the key's X keysym (lower case for letters); 0: none
    std::uint16_t modifiers = 0; // HotkeyModifier bits
    QString text;                // as the user wrote it, normalised: "Ctrl+Alt+Shift+R"

    [[nodiscard]] bool isNone() const { return keysym == 0; }
    [[nodiscard]] bool operator==(const Hotkey &other) const
    {
        return keysym == other.keysym && modifiers == other.modifiers;
    }
};

// The combination used when no option names one: Ctrl+Alt+Shift with R, P or M. No common
// desktop binds a three-modifier letter (GNOME, KDE Plasma, Xfce and the tiling window
// managers use at most two with letters), so they are rarely taken.
[[nodiscard]] Hotkey defaultHotkey(HotkeyAction action);

// Reads a combination such as "Ctrl+Alt+R" (QKeySequence's portable text: one key, any of
// Ctrl, Alt, Shift and Meta before it) or "none". On failure returns false with `error` saying
// why; `hotkey` is left alone.
[[nodiscard]] bool parseHotkey(const QString &text, Hotkey &hotkey, QString &error);

// The combination in the desktop portal's shortcut notation ("CTRL+ALT+SHIFT+r").
[[nodiscard]] QString portalTrigger(const Hotkey &hotkey);
