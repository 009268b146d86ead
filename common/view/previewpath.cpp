#include "previewpath.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include <GL/gl.h>

#include "frameconsole.h"

QString softwareRendererName(const QString &glRenderer)
{
    // Mesa's classic software driver calls itself "Software Rasterizer".
    static const std::pair<const char *, const char *> software[] = {
        {"llvmpipe", "llvmpipe"}, {"softpipe", "softpipe"}, {"swrast", "swrast"}, {"software rasterizer", "swrast"}};
    const QString lower = glRenderer.toLower();
    for (const auto &[needle, name] : software) {
        if (lower.contains(QLatin1String(needle)))
            return QString::fromLatin1(name);
    }
    return {};
}

PreviewChoice choosePreviewPath(const QString &override, const QString &glRenderer)
{
    PreviewChoice choice;
    const QString forced = override.trimmed().toLower();
    const QString renderer = glRenderer.trimmed();
    if (forced == QLatin1String("raster")) {
        choice.path = PreviewPath::Raster;
        choice.line = QStringLiteral("Preview: raster, chosen by %1").arg(QLatin1String(PreviewOverrideVariable));
        return choice;
    }
    if (forced == QLatin1String("opengl")) {
        choice.path = PreviewPath::OpenGL;
        choice.line = QStringLiteral("Preview: OpenGL (%1), chosen by %2")
                          .arg(renderer.isEmpty() ? QStringLiteral("no context could be made") : renderer,
                               QLatin1String(PreviewOverrideVariable));
        return choice;
    }
    if (!forced.isEmpty()) {
        choice.warning = QStringLiteral("%1=%2 is neither raster nor opengl: ignored")
                             .arg(QLatin1String(PreviewOverrideVariable), override);
    }
    if (renderer.isEmpty()) {
        choice.path = PreviewPath::Raster;
        choice.line = QStringLiteral("Preview: raster, no OpenGL");
        return choice;
    }
    const QString software = softwareRendererName(renderer);
    if (!software.isEmpty()) {
        choice.path = PreviewPath::Raster;
        choice.line = QStringLiteral("Preview: raster, software OpenGL (%1)").arg(software);
    } else {
        choice.path = PreviewPath::OpenGL;
        choice.line = QStringLiteral("Preview: OpenGL (%1)").arg(renderer);
    }
    return choice;
}

namespace {

QString probeGlRenderer()
{
    QOffscreenSurface surface;
    surface.create();
    QOpenGLContext context;
    if (!surface.isValid() || !context.create() || !context.makeCurrent(&surface))
        return {};
    const auto *name = reinterpret_cast<const char *>(context.functions()->glGetString(GL_RENDERER));
    QString renderer = name ? QString::fromLatin1(name) : QString();
    context.doneCurrent();
    return renderer;
}

} // namespace

const PreviewChoice &processPreviewChoice()
{
    static const PreviewChoice choice = [] {
        const QString override = qEnvironmentVariable(PreviewOverrideVariable);
        const bool forcedRaster = override.trimmed().compare(QLatin1String("raster"), Qt::CaseInsensitive) == 0;
        // Forced to raster, no GL context is made at all.
        return choosePreviewPath(override, forcedRaster ? QString() : probeGlRenderer());
    }();
    return choice;
}

void printPreviewChoice()
{
    static bool printed = false;
    if (printed)
        return;
    printed = true;
    const PreviewChoice &choice = processPreviewChoice();
    if (!choice.warning.isEmpty())
        FrameConsole::instance().report(StageEvent::notice(choice.warning));
    FrameConsole::instance().report(StageEvent::notice(choice.line));
}
