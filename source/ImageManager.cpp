#include "ImageManager.h"

#include "Image.h"

#include <algorithm>
#include <cassert>

using namespace irr;

ImageManager::ImageManager(IrrlichtDevice* device) : device(device) {}

ImageManager::~ImageManager() {
    for (Image* image : images)
        delete image;
}

Image* ImageManager::add(Image* image) {
    assert(image);
    images.push_back(image);
    return image;
}

void ImageManager::remove(Image*& image) {
    assert(image);
    const auto found = std::find(images.begin(), images.end(), image);
    if (found == images.end())
        return;
    delete image;
    image = nullptr;
    images.erase(found);
}

Image* ImageManager::getImageAt(const core::position2d<s32>& point) {
    for (Image* image : images) {
        const core::rect<s32> area = image->getRect();
        if (area.UpperLeftCorner.X <= point.X && area.UpperLeftCorner.Y <= point.Y &&
            point.X <= area.LowerRightCorner.X && point.Y <= area.LowerRightCorner.Y)
            return image;
    }
    return nullptr;
}

void ImageManager::clearMouseOver() {
    for (Image* image : images)
        image->setMouseOver(false);
}
