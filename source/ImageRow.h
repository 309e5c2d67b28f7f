#pragma once

#include <irrlicht.h>
#include <vector>

class Image;

// Lays a few images out side by side, centred on the screen horizontally and each centred on
// one horizontal line, with a fixed gap between neighbours. Owns none of them.
class ImageRow {
public:
    ImageRow(irr::video::IVideoDriver* driver, irr::s32 centreY, irr::s32 spacing);

    void add(Image* image);
    // Places every listed image, then forgets them.
    void arrange();

private:
    irr::video::IVideoDriver* driver;
    std::vector<Image*> images;
    irr::s32 centreY;
    irr::s32 spacing;
};
