#include "glformat.h"

#include <QSurfaceFormat>

void setupDefaultSurfaceFormat()
{
    QSurfaceFormat format = QSurfaceFormat::defaultFormat();
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setProfile(QSurfaceFormat::CompatibilityProfile);
    format.setVersion(2, 1);
    QSurfaceFormat::setDefaultFormat(format);
}
