#include "Image.h"
#include "ImageManager.h"
#include "ImageRow.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace irr;

namespace {

class ImageLayoutTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(session.device, nullptr) << "no X display"; }
    Image* image(const char* file, u16 width, u16 height) {
        return new Image(session.device, file, width, height, HOVER_BRIGHTEN);
    }
    core::position2d<s32> cornerOf(Image* placed) { return placed->getRect().UpperLeftCorner; }
    DeviceSession session;
};

std::size_t guiChildren(IrrlichtDevice* device) {
    return device->getGUIEnvironment()->getRootGUIElement()->getChildren().size();
}

} // namespace

TEST_F(ImageLayoutTest, RowCentresEachButtonSetAsTheScreensUseIt) {
    ImageManager manager(session.device);
    ImageRow row(session.device->getVideoDriver(), 135, 26);

    Image* record = manager.add(image("brec.png", 68, 68));
    row.add(record);
    row.arrange();
    EXPECT_EQ(cornerOf(record), core::position2d<s32>(150, 101));

    Image* stop = manager.add(image("bstop.png", 62, 62));
    row.add(stop);
    row.arrange();
    EXPECT_EQ(cornerOf(stop), core::position2d<s32>(153, 104));
    EXPECT_EQ(cornerOf(record), core::position2d<s32>(150, 101)) << "an arranged row forgets";

    Image* play = manager.add(image("bplay.png", 65, 65));
    row.add(play);
    row.arrange();
    EXPECT_EQ(cornerOf(play), core::position2d<s32>(152, 103)) << "halves are truncated";

    Image* again = manager.add(image("brecagain.png", 68, 68));
    Image* play2 = manager.add(image("bplay.png", 65, 65));
    Image* mail = manager.add(image("bmail.png", 97, 67));
    row.add(again);
    row.add(play2);
    row.add(mail);
    row.arrange();
    EXPECT_EQ(cornerOf(again), core::position2d<s32>(43, 101));
    EXPECT_EQ(cornerOf(play2), core::position2d<s32>(137, 103));
    EXPECT_EQ(cornerOf(mail), core::position2d<s32>(228, 102));
    EXPECT_EQ(mail->getRect().LowerRightCorner.X, 325);
}

TEST_F(ImageLayoutTest, EmptyRowPlacesNothing) {
    ImageManager manager(session.device);
    Image* title = manager.add(image("title.png", 238, 33));
    title->setPosition(15, 12);
    ImageRow row(session.device->getVideoDriver(), 135, 26);
    row.arrange();
    EXPECT_EQ(title->getRect(), core::rect<s32>(15, 12, 253, 45));
}

TEST_F(ImageLayoutTest, HitTestIncludesAllFourEdges) {
    ImageManager manager(session.device);
    EXPECT_EQ(manager.getImageAt(core::position2d<s32>(0, 0)), nullptr);
    Image* record = manager.add(image("brec.png", 68, 68));
    record->setPosition(150, 101);
    EXPECT_EQ(manager.getImageAt(core::position2d<s32>(150, 101)), record);
    EXPECT_EQ(manager.getImageAt(core::position2d<s32>(218, 169)), record);
    EXPECT_EQ(manager.getImageAt(core::position2d<s32>(150, 169)), record);
    EXPECT_EQ(manager.getImageAt(core::position2d<s32>(219, 169)), nullptr);
    EXPECT_EQ(manager.getImageAt(core::position2d<s32>(149, 101)), nullptr);
    EXPECT_EQ(manager.getImageAt(core::position2d<s32>(150, 170)), nullptr);
}

TEST_F(ImageLayoutTest, FirstAddedWinsInAnOverlap) {
    ImageManager manager(session.device);
    Image* first = manager.add(image("bstop.png", 62, 62));
    Image* second = manager.add(image("brec.png", 68, 68));
    first->setPosition(100, 100);
    second->setPosition(130, 130);
    EXPECT_EQ(manager.getImageAt(core::position2d<s32>(140, 140)), first);
    EXPECT_EQ(manager.getImageAt(core::position2d<s32>(190, 190)), second);
}

TEST_F(ImageLayoutTest, RemoveDeletesAndNullsOnlyImagesItHolds) {
    const std::size_t before = guiChildren(session.device);
    ImageManager manager(session.device);
    Image* a = manager.add(image("brec.png", 68, 68));
    Image* b = manager.add(image("bstop.png", 62, 62));
    Image* c = manager.add(image("bplay.png", 65, 65));
    b->setPosition(0, 0);
    c->setPosition(0, 0);

    Image* stranger = image("bmail.png", 97, 67);
    Image* strangerCopy = stranger;
    manager.remove(stranger);
    EXPECT_EQ(stranger, strangerCopy) << "an image the manager does not hold stays";
    EXPECT_EQ(manager.count(), 3u);
    delete stranger;

    manager.remove(b);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(manager.count(), 2u);
    EXPECT_EQ(guiChildren(session.device), before + 2);
    // c now answers where b stood, behind a in the order.
    a->setPosition(300, 300);
    EXPECT_EQ(manager.getImageAt(core::position2d<s32>(1, 1)), c);
}

TEST_F(ImageLayoutTest, ClearMouseOverAndDestructionTouchEveryImage) {
    const std::size_t before = guiChildren(session.device);
    {
        ImageManager empty(session.device);
        empty.clearMouseOver();
    }
    {
        ImageManager manager(session.device);
        Image* a = manager.add(image("brec.png", 68, 68));
        manager.add(image("bstop.png", 62, 62));
        a->setMouseOver(true);
        manager.clearMouseOver();
        auto* element = static_cast<gui::IGUIImage*>(
            *session.device->getGUIEnvironment()->getRootGUIElement()->getChildren().begin());
        EXPECT_EQ(element->getImage(),
                  session.device->getVideoDriver()->findTexture("brec.png_normal"));
        EXPECT_EQ(guiChildren(session.device), before + 2);
    }
    EXPECT_EQ(guiChildren(session.device), before);
}
