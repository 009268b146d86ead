#pragma once

#include <QImage>
#include <QSize>

#include <functional>

// Frames kept for paging back (the capture's history), as a preview reads them: it shows them and
// never stores any.
class StoredFrames
{
public:
    virtual ~StoredFrames() = default;

    [[nodiscard]] virtual int size() const = 0;
    // Frame `index` (0 .. size()-1), decoded; a null image outside that range or for a frame not
    // kept. With a `minimumSize` it may come back smaller than it was grabbed, but never below that
    // size.
    [[nodiscard]] virtual QImage frame(int index, const QSize &minimumSize = QSize()) const = 0;
    // Frame `index` as frame() gives it, to be decoded later on another thread: the function may
    // run on any one thread while these frames live, whatever is appended meanwhile. Empty for an
    // index outside 0..size()-1 or a frame not kept. This one decodes at once, here.
    [[nodiscard]] virtual std::function<QImage()> frameReader(int index, const QSize &minimumSize = QSize()) const
    {
        if (index < 0 || index >= size())
            return {};
        QImage image = frame(index, minimumSize);
        if (image.isNull())
            return {};
        return [image] { return image; };
    }
};
