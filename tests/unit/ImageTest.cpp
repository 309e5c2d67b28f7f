#include "Image.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace irr;

namespace {

struct Pixel {
    u8 blue, green, red, alpha;
};

// A texture whose pixels are exactly the given ones, one row.
video::ITexture* makeTexture(video::IVideoDriver* driver, const char* name,
                             const std::vector<Pixel>& pixels) {
    video::IImage* image = driver->createImage(
        video::ECF_A8R8G8B8, core::dimension2d<u32>(static_cast<u32>(pixels.size()), 1));
    for (u32 x = 0; x < pixels.size(); ++x)
        image->setPixel(
            x, 0, video::SColor(pixels[x].alpha, pixels[x].red, pixels[x].green, pixels[x].blue));
    video::ITexture* texture = driver->addTexture(name, image);
    image->drop();
    return texture;
}

std::vector<Pixel> readPixels(video::ITexture* texture, u32 count) {
    std::vector<Pixel> pixels(count);
    const u8* data = static_cast<const u8*>(texture->lock(video::ETLM_READ_ONLY));
    for (u32 x = 0; x < count; ++x)
        pixels[x] = Pixel{data[4 * x], data[4 * x + 1], data[4 * x + 2], data[4 * x + 3]};
    texture->unlock();
    return pixels;
}

// The picture an Image element shows: the last image element added to the GUI root.
gui::IGUIImage* lastImageElement(IrrlichtDevice* device) {
    const auto& children = device->getGUIEnvironment()->getRootGUIElement()->getChildren();
    gui::IGUIImage* last = nullptr;
    for (gui::IGUIElement* child : children)
        if (child->getType() == gui::EGUIET_IMAGE)
            last = static_cast<gui::IGUIImage*>(child);
    return last;
}

std::size_t imageElementCount(IrrlichtDevice* device) {
    std::size_t count = 0;
    for (gui::IGUIElement* child : device->getGUIEnvironment()->getRootGUIElement()->getChildren())
        count += child->getType() == gui::EGUIET_IMAGE ? 1 : 0;
    return count;
}

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(session.device, nullptr) << "no X display"; }
    video::IVideoDriver* driver() { return session.device->getVideoDriver(); }
    DeviceSession session;
};

} // namespace

TEST(AddSaturated, ClampsAt255) {
    u8 byte = 0;
    addSaturated(byte, 30);
    EXPECT_EQ(byte, 30);
    byte = 224;
    addSaturated(byte, 30);
    EXPECT_EQ(byte, 254);
    byte = 225;
    addSaturated(byte, 30);
    EXPECT_EQ(byte, 255);
    byte = 255;
    addSaturated(byte, 30);
    EXPECT_EQ(byte, 255);
}

TEST_F(ImageTest, FadeHalvesAlphaAndKeepsColours) {
    video::ITexture* texture = makeTexture(
        driver(), "fade", {{10, 20, 30, 255}, {40, 50, 60, 128}, {70, 80, 90, 1}, {1, 2, 3, 0}});
    fadeTexture(texture);
    const std::vector<Pixel> pixels = readPixels(texture, 4);
    const u8 alphas[] = {127, 64, 0, 0};
    const u8 blues[] = {10, 40, 70, 1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pixels[i].alpha, alphas[i]) << "pixel " << i;
        EXPECT_EQ(pixels[i].blue, blues[i]) << "pixel " << i;
    }
    EXPECT_EQ(pixels[0].green, 20);
    EXPECT_EQ(pixels[0].red, 30);
}

TEST_F(ImageTest, BrightenAddsThirtyToColoursOnly) {
    video::ITexture* texture =
        makeTexture(driver(), "brighten", {{0, 224, 225, 77}, {255, 100, 1, 255}});
    brightenTexture(texture);
    const std::vector<Pixel> pixels = readPixels(texture, 2);
    EXPECT_EQ(pixels[0].blue, 30);
    EXPECT_EQ(pixels[0].green, 254);
    EXPECT_EQ(pixels[0].red, 255);
    EXPECT_EQ(pixels[0].alpha, 77);
    EXPECT_EQ(pixels[1].blue, 255);
    EXPECT_EQ(pixels[1].green, 130);
    EXPECT_EQ(pixels[1].red, 31);
    EXPECT_EQ(pixels[1].alpha, 255);
}

TEST_F(ImageTest, TexturesKeepTheirExactSize) {
    Image title(session.device, "title.png", 238, 33, HOVER_BRIGHTEN);
    ASSERT_TRUE(title.isLoaded());
    video::ITexture* normal = driver()->findTexture("title.png_normal");
    ASSERT_NE(normal, nullptr);
    EXPECT_EQ(normal->getSize(), core::dimension2d<u32>(238, 33));
    EXPECT_EQ(normal->getColorFormat(), video::ECF_A8R8G8B8);
}

TEST_F(ImageTest, SecondImageOfTheSameFileLoadsNothing) {
    Image first(session.device, "brec.png", 68, 68, HOVER_BRIGHTEN);
    const u32 texturesAfterFirst = driver()->getTextureCount();
    EXPECT_NE(driver()->findTexture("brec.png_normal"), nullptr);
    EXPECT_NE(driver()->findTexture("brec.png_mouseover"), nullptr);
    EXPECT_EQ(driver()->findTexture("brec.png"), nullptr);
    Image second(session.device, "brec.png", 68, 68, HOVER_BRIGHTEN);
    EXPECT_EQ(driver()->getTextureCount(), texturesAfterFirst);
    EXPECT_EQ(driver()->findTexture("brec.png"), nullptr);
}

TEST_F(ImageTest, NormalAndMouseOverPicturesFollowTheEffect) {
    video::IImage* file = driver()->createImageFromFile("brec.png");
    ASSERT_NE(file, nullptr);
    const video::SColor original = file->getPixel(34, 34);
    file->drop();

    Image button(session.device, "brec.png", 68, 68, HOVER_BRIGHTEN);
    video::ITexture* normal = driver()->findTexture("brec.png_normal");
    video::ITexture* over = driver()->findTexture("brec.png_mouseover");
    const u8* normalData = static_cast<const u8*>(normal->lock(video::ETLM_READ_ONLY));
    const u32 centre = 34 * (normal->getPitch() / 4) + 34;
    EXPECT_EQ(normalData[4 * centre + 2], original.getRed());
    normal->unlock();
    const u8* overData = static_cast<const u8*>(over->lock(video::ETLM_READ_ONLY));
    EXPECT_EQ(overData[4 * centre + 2], std::min(255u, original.getRed() + 30));
    EXPECT_EQ(overData[4 * centre + 3], original.getAlpha());
    over->unlock();
}

TEST_F(ImageTest, FirstEffectAskedForAFileDecidesBothPictures) {
    video::IImage* file = driver()->createImageFromFile("bmini.png");
    ASSERT_NE(file, nullptr);
    const video::SColor original = file->getPixel(18, 18);
    file->drop();

    Image faded(session.device, "bmini.png", 36, 36, HOVER_FADE);
    Image later(session.device, "bmini.png", 36, 36, HOVER_BRIGHTEN);
    video::ITexture* normal = driver()->findTexture("bmini.png_normal");
    video::ITexture* over = driver()->findTexture("bmini.png_mouseover");
    const u32 centre = 18 * (normal->getPitch() / 4) + 18;
    const u8* normalData = static_cast<const u8*>(normal->lock(video::ETLM_READ_ONLY));
    EXPECT_EQ(normalData[4 * centre + 3], original.getAlpha() >> 1);
    normal->unlock();
    const u8* overData = static_cast<const u8*>(over->lock(video::ETLM_READ_ONLY));
    EXPECT_EQ(overData[4 * centre + 2], original.getRed()); // not brightened
    EXPECT_EQ(overData[4 * centre + 3], original.getAlpha());
    over->unlock();
}

TEST_F(ImageTest, PlacementKeepsTheSize) {
    Image close(session.device, "bclose.png", 36, 36, HOVER_FADE);
    close.setPositionFromRight(15, 12);
    EXPECT_EQ(close.getRect(), core::rect<s32>(317, 12, 353, 48));
    close.setPositionFromRight(56, 12);
    EXPECT_EQ(close.getRect(), core::rect<s32>(276, 12, 312, 48));
    Image title(session.device, "title.png", 238, 33, HOVER_BRIGHTEN);
    EXPECT_EQ(title.getRect(), core::rect<s32>(0, 0, 238, 33));
    title.setPosition(15, 12);
    EXPECT_EQ(title.getRect(), core::rect<s32>(15, 12, 253, 45));
}

TEST_F(ImageTest, MouseOverShowsTheSecondPictureOnlyWhenEnabled) {
    Image button(session.device, "bplay.png", 65, 65, HOVER_BRIGHTEN);
    gui::IGUIImage* element = lastImageElement(session.device);
    ASSERT_NE(element, nullptr);
    video::ITexture* normal = driver()->findTexture("bplay.png_normal");
    video::ITexture* over = driver()->findTexture("bplay.png_mouseover");
    EXPECT_EQ(element->getImage(), normal);
    button.setMouseOver(true);
    EXPECT_EQ(element->getImage(), over);
    button.setHoverEnabled(false);
    EXPECT_EQ(element->getImage(), normal);
    button.setMouseOver(true);
    EXPECT_EQ(element->getImage(), normal);
    button.setHoverEnabled(true);
    button.setMouseOver(false);
    EXPECT_EQ(element->getImage(), normal);
}

TEST_F(ImageTest, DestroyingAnImageRemovesItsElementAndKeepsTheCache) {
    const std::size_t before = imageElementCount(session.device);
    auto* image = new Image(session.device, "bstop.png", 62, 62, HOVER_BRIGHTEN);
    EXPECT_EQ(imageElementCount(session.device), before + 1);
    delete image;
    EXPECT_EQ(imageElementCount(session.device), before);
    const u32 textures = driver()->getTextureCount();
    Image again(session.device, "bstop.png", 62, 62, HOVER_BRIGHTEN);
    EXPECT_EQ(driver()->getTextureCount(), textures);
}

TEST_F(ImageTest, AMissingPictureIsReportedNotFatal) {
    Image missing(session.device, "no-such-picture.png", 10, 10, HOVER_FADE);
    EXPECT_FALSE(missing.isLoaded());
    missing.setMouseOver(true);
    EXPECT_EQ(missing.getRect(), core::rect<s32>(0, 0, 10, 10));
}
