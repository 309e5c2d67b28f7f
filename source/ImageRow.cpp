#include "ImageRow.h"

#include "Image.h"

using namespace irr;

ImageRow::ImageRow(video::IVideoDriver* driver, s32 centreY, s32 spacing)
    : driver(driver), centreY(centreY), spacing(spacing) {}

void ImageRow::add(Image* image) {
    images.push_back(image);
}

void ImageRow::arrange() {
    s32 totalWidth = 0;
    for (Image* image : images) {
        const core::rect<s32> area = image->getRect();
        totalWidth += area.LowerRightCorner.X - area.UpperLeftCorner.X;
    }
    const s32 screenWidth = static_cast<s32>(driver->getScreenSize().Width);
    const u32 count = static_cast<u32>(images.size());
    // Each half is truncated on its own; the gaps are halved as an unsigned quantity.
    const u32 halfGaps = ((count - 1) * static_cast<u32>(spacing)) >> 1;
    s32 x = screenWidth / 2 - totalWidth / 2 - static_cast<s32>(halfGaps);
    for (Image* image : images) {
        const core::rect<s32> area = image->getRect();
        const s32 width = area.LowerRightCorner.X - area.UpperLeftCorner.X;
        const s32 height = area.LowerRightCorner.Y - area.UpperLeftCorner.Y;
        const s32 y = centreY - height / 2;
        image->setPosition(static_cast<u16>(x), static_cast<u16>(y));
        x += width + spacing;
    }
    images.clear();
}
