#pragma once

// Makes every OpenGL context of the process a compatibility-profile context, so that the
// renderer's fixed-function drawing works. Call before the QApplication is constructed.
void setupDefaultSurfaceFormat();
