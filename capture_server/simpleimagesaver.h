#pragma once

#include "imagehandler.h"

#include <QString>

// File name of image `number`: prefix, the number in decimal, ".", the format.
[[nodiscard]] QString imageFileName(const QString &prefix, int number, const QString &format);

// One past the highest number N for which a file prefix + N + "." + format exists; 0 when none.
[[nodiscard]] int firstFreeImageNumber(const QString &prefix, const QString &format);

// Writes every frame to its own numbered file (prefix + N + "." + format). Numbering continues
// after the highest number already present, so an earlier run is never overwritten, and a
// frame that cannot be written does not use up its number.
class SimpleImageSaver : public ImageHandler
{
public:
    SimpleImageSaver(QString path, QString format, int quality);

    void startHandling(const ConfigStructure *config) override;
    int handleImage(const QPixmap &frame) override;
    void stopHandling() override;

    [[nodiscard]] int nextFileNumber() const { return fileCounter; }

private:
    [[nodiscard]] bool write(const QImage &image, const QString &fileName) const;
    void skipTakenNumbers();

    QString path;
    QString format;
    int quality;
    int fileCounter = 0;
};
