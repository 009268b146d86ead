#pragma once

#include <QString>

// How the preview draws its frames. With a GPU, OpenGL in a native child window: the GPU
// stretches the frame and the window composes nothing. With OpenGL done in software (Mesa's
// llvmpipe, softpipe, swrast), every GL step and every swap runs on the CPU, so the frame is
// resampled to the widget's size off the GUI thread and painted as an image instead, and no GL
// surface enters the window at all.
enum class PreviewPath { OpenGL, Raster };

struct PreviewChoice
{
    PreviewPath path = PreviewPath::Raster;
    QString line; // what start-up prints: "Preview: ..."
    QString warning; // a bad override, said once before the line; empty otherwise
};

// The environment variable that forces a path: "raster" or "opengl".
inline constexpr char PreviewOverrideVariable[] = "DESKCAST_PREVIEW";

// Whether the OpenGL named by `glRenderer` (GL_RENDERER) runs in software; the matching driver
// name ("llvmpipe", ...), or empty for a GPU.
[[nodiscard]] QString softwareRendererName(const QString &glRenderer);

// The path for an override value (empty when not set) and a GL_RENDERER string (empty when no
// OpenGL context could be made).
[[nodiscard]] PreviewChoice choosePreviewPath(const QString &override, const QString &glRenderer);

// The process's choice, made at the first call (needs the QGuiApplication): the override from
// the environment, otherwise the GL_RENDERER of a context made for the purpose.
[[nodiscard]] const PreviewChoice &processPreviewChoice();

// Prints the choice once ("Preview: ..."), for the programs' start-up.
void printPreviewChoice();
