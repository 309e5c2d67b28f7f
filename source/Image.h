#pragma once

#include <irrlicht.h>
#include <string>

// How the second picture of an image is derived from its file.
enum HoverEffect {
    HOVER_BRIGHTEN = 0, // normal: the file; mouse-over: every colour byte + 30
    HOVER_FADE = 1      // normal: the file with its alpha halved; mouse-over: the file
};

// One picture of the window: a GUI image element showing either its normal or its mouse-over
// texture. Both textures are made once per file and then taken from the driver's cache.
class Image {
public:
    Image(irr::IrrlichtDevice* device, const std::string& fileName, irr::u16 width, irr::u16 height,
          int effect);
    ~Image();
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    void setPosition(irr::u16 x, irr::u16 y);
    void setPositionFromRight(irr::u16 right, irr::u16 top);
    irr::core::rect<irr::s32> getRect() const;
    void setMouseOver(bool over);
    void setHoverEnabled(bool enabled);

    // False when the picture could not be loaded from the media archive.
    bool isLoaded() const { return normalTexture != nullptr && mouseOverTexture != nullptr; }

private:
    irr::video::IVideoDriver* driver;
    irr::video::ITexture* normalTexture;
    irr::video::ITexture* mouseOverTexture;
    irr::gui::IGUIImage* element;
    bool hoverEnabled;
};

void fadeTexture(irr::video::ITexture* texture);
void brightenTexture(irr::video::ITexture* texture);
void addSaturated(irr::u8& byte, irr::u8 amount);
