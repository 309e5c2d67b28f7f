#include "Image.h"

#include <cassert>

using namespace irr;

namespace {

// Applies `change` to every 4-byte pixel (memory order B, G, R, A) of the texture, row by row
// over the whole pitch.
template <typename PixelChange> void changePixels(video::ITexture* texture, PixelChange change) {
    if (texture == nullptr)
        return;
    assert(texture->getColorFormat() == video::ECF_A8R8G8B8);
    u8* data = static_cast<u8*>(texture->lock());
    assert(data);
    if (data == nullptr)
        return;
    const s32 pixelsPerRow = static_cast<s32>(texture->getPitch() / 4);
    const s32 rows = static_cast<s32>(texture->getSize().Height);
    for (s32 i = 0; i < rows; ++i)
        for (s32 j = 0; j < pixelsPerRow; ++j)
            change(data + 4 * (i * pixelsPerRow + j));
    texture->unlock();
}

// The texture cached under `cachedName`, or else the file freshly loaded, processed by
// `effect` and stored under `cachedName`.
video::ITexture* cachedOrLoaded(video::IVideoDriver* driver, const std::string& fileName,
                                const std::string& cachedName, void (*effect)(video::ITexture*)) {
    if (driver->findTexture(cachedName.c_str()) != nullptr)
        return driver->getTexture(cachedName.c_str());
    video::ITexture* texture = driver->getTexture(fileName.c_str());
    if (texture == nullptr)
        return nullptr;
    if (effect != nullptr)
        effect(texture);
    driver->renameTexture(texture, cachedName.c_str());
    return texture;
}

} // namespace

void addSaturated(u8& byte, u8 amount) {
    const int sum = static_cast<int>(byte) + static_cast<int>(amount);
    byte = sum > 255 ? 255 : static_cast<u8>(sum);
}

void fadeTexture(video::ITexture* texture) {
    changePixels(texture, [](u8* pixel) { pixel[3] = static_cast<u8>(pixel[3] >> 1); });
}

void brightenTexture(video::ITexture* texture) {
    changePixels(texture, [](u8* pixel) {
        addSaturated(pixel[0], 30);
        addSaturated(pixel[1], 30);
        addSaturated(pixel[2], 30);
    });
}

Image::Image(IrrlichtDevice* device, const std::string& fileName, u16 width, u16 height, int effect)
    : driver(device->getVideoDriver()), normalTexture(nullptr), mouseOverTexture(nullptr),
      element(nullptr), hoverEnabled(true) {
    gui::IGUIEnvironment* environment = device->getGUIEnvironment();
    normalTexture = cachedOrLoaded(driver, fileName, fileName + "_normal",
                                   effect == HOVER_FADE ? fadeTexture : nullptr);
    mouseOverTexture = cachedOrLoaded(driver, fileName, fileName + "_mouseover",
                                      effect == HOVER_BRIGHTEN ? brightenTexture : nullptr);
    element = environment->addImage(core::rect<s32>(0, 0, width, height), nullptr, -1, nullptr);
    element->setUseAlphaChannel(true);
    setHoverEnabled(true);
}

Image::~Image() {
    element->remove();
}

void Image::setPosition(u16 x, u16 y) {
    element->setRelativePosition(core::position2d<s32>(x, y));
}

void Image::setPositionFromRight(u16 right, u16 top) {
    const core::rect<s32> current = element->getRelativePosition();
    const s32 width = current.getWidth();
    const s32 height = current.getHeight();
    const s32 screenWidth = static_cast<s32>(driver->getScreenSize().Width);
    const s32 rightEdge = screenWidth - static_cast<s32>(right);
    element->setRelativePosition(
        core::rect<s32>(rightEdge - width, top, rightEdge, static_cast<s32>(top) + height));
}

core::rect<s32> Image::getRect() const {
    return element->getRelativePosition();
}

void Image::setMouseOver(bool over) {
    element->setImage(over && hoverEnabled ? mouseOverTexture : normalTexture);
}

void Image::setHoverEnabled(bool enabled) {
    hoverEnabled = enabled;
    element->setImage(normalTexture);
}
