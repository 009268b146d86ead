#pragma once

class GLStreamRenderer;
class ImageHandler;
class PortalGrabber;
class QRect;
class QScreen;

// What the control window hands to the recorder when a capture starts.
struct ConfigStructure
{
    GLStreamRenderer *renderer = nullptr; // preview that receives every frame
    ImageHandler *handler = nullptr;      // receives every frame
    ImageHandler *webView = nullptr;      // receives every frame too, whatever the handler (or none)
    QRect *selection = nullptr;           // area to capture, in logical desktop pixels
    QScreen *desktop = nullptr;           // screen to grab from
    int fps = 30;                         // target frames per second
    bool recordCursor = false;            // draw the mouse pointer into every frame
    PortalGrabber *portal = nullptr;      // on Wayland: frames come from the portal's stream, not X
};
