#pragma once

class ClickWatcher;
class FrameSink;
class GLStreamRenderer;
class Grabber;
class ImageHandler;
class QRect;
class QScreen;
class WindowTracker;

// What the control window hands to the recorder when a capture starts.
struct ConfigStructure
{
    GLStreamRenderer *renderer = nullptr; // preview that shows every frame
    ImageHandler *handler = nullptr;      // receives every frame
    ImageHandler *webView = nullptr;      // receives every frame too, whatever the handler (or none)
    QRect *selection = nullptr;           // area to capture, in logical desktop pixels
    QScreen *desktop = nullptr;           // screen the window lives on
    int fps = 30;                         // target frames per second
    bool recordCursor = false;            // draw the mouse pointer into every frame
    Grabber *grabber = nullptr;           // where frames come from
    FrameSink *sink = nullptr;            // where the recorder hands them: the session
    ClickWatcher *clicks = nullptr;       // draws a ring at each recent click into every frame ("Show clicks"), or none
    WindowTracker *window = nullptr;      // when set, the area is this window's, wherever it goes
};
