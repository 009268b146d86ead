#pragma once

#include <QImage>
#include <QSize>

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
};
