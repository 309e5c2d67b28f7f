#pragma once

#include <irrlicht.h>
#include <vector>

class Image;

// Owns every picture on the window, in the order they were added, and finds the one under a
// point.
class ImageManager {
public:
    explicit ImageManager(irr::IrrlichtDevice* device);
    ~ImageManager();
    ImageManager(const ImageManager&) = delete;
    ImageManager& operator=(const ImageManager&) = delete;

    Image* add(Image* image);
    // Deletes the image, takes it out of the list and nulls the caller's pointer. An image that
    // is not in the list is left alone.
    void remove(Image*& image);
    // The first image whose rectangle holds the point, all four edges included; or null.
    Image* getImageAt(const irr::core::position2d<irr::s32>& point);
    void clearMouseOver();

    std::size_t count() const { return images.size(); }

private:
    irr::IrrlichtDevice* device;
    std::vector<Image*> images;
};
