#include "previewpath.h"

#include <QTest>

class tst_PreviewPath : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void choosesByRenderer_data();
    void choosesByRenderer();
};

void tst_PreviewPath::choosesByRenderer_data()
{
    QTest::addColumn<QString>("override");
    QTest::addColumn<QString>("renderer");
    QTest::addColumn<PreviewPath>("path");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("warns");
    QTest::newRow("llvmpipe: raster") << QString() << QStringLiteral("llvmpipe (LLVM 15.0.6, 256 bits)")
                                      << PreviewPath::Raster
                                      << QStringLiteral("Preview: raster, software OpenGL (llvmpipe)") << false;
    QTest::newRow("softpipe: raster") << QString() << QStringLiteral("softpipe") << PreviewPath::Raster
                                      << QStringLiteral("Preview: raster, software OpenGL (softpipe)") << false;
    QTest::newRow("classic swrast: raster") << QString() << QStringLiteral("Mesa X11 Software Rasterizer")
                                            << PreviewPath::Raster
                                            << QStringLiteral("Preview: raster, software OpenGL (swrast)") << false;
    QTest::newRow("a GPU: OpenGL") << QString() << QStringLiteral("Mesa Intel(R) UHD Graphics 620 (KBL GT2)")
                                   << PreviewPath::OpenGL
                                   << QStringLiteral("Preview: OpenGL (Mesa Intel(R) UHD Graphics 620 (KBL GT2))")
                                   << false;
    QTest::newRow("no OpenGL at all: raster") << QString() << QString() << PreviewPath::Raster
                                              << QStringLiteral("Preview: raster, no OpenGL") << false;
    QTest::newRow("forced raster on a GPU") << QStringLiteral("raster") << QStringLiteral("AMD Radeon RX 6600")
                                            << PreviewPath::Raster
                                            << QStringLiteral("Preview: raster, chosen by DESKCAST_PREVIEW") << false;
    QTest::newRow("forced OpenGL on llvmpipe") << QStringLiteral("OpenGL") << QStringLiteral("llvmpipe")
                                               << PreviewPath::OpenGL
                                               << QStringLiteral("Preview: OpenGL (llvmpipe), chosen by DESKCAST_PREVIEW")
                                               << false;
    QTest::newRow("unknown override: ignored, said so") << QStringLiteral("vulkan") << QStringLiteral("llvmpipe")
                                                        << PreviewPath::Raster
                                                        << QStringLiteral("Preview: raster, software OpenGL (llvmpipe)")
                                                        << true;
}

void tst_PreviewPath::choosesByRenderer()
{
    QFETCH(QString, override);
    QFETCH(QString, renderer);
    QFETCH(PreviewPath, path);
    QFETCH(QString, line);
    QFETCH(bool, warns);
    const PreviewChoice choice = choosePreviewPath(override, renderer);
    QCOMPARE(choice.path, path);
    QCOMPARE(choice.line, line);
    QCOMPARE(!choice.warning.isEmpty(), warns);
}

QTEST_GUILESS_MAIN(tst_PreviewPath)
#include "tst_previewpath.moc"
