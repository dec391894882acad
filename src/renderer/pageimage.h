#pragma once

#include <QByteArray>

// One rasterised page: 8-bit RGB, rows packed without padding.
struct PageImage {
    int width = 0;
    int height = 0;
    QByteArray rgb; // width * height * 3 bytes

    const uchar* row(int y) const
    {
        return reinterpret_cast<const uchar*>(rgb.constData()) + qsizetype(y) * width * 3;
    }
    // True when any pixel is not a shade of grey.
    bool hasColour() const;
};
