// The yardstick for the program's window: the same size and renderer and the plain frame loop
// of Irrlicht's examples, `while (device->run()) device->yield();`. It draws one frame at the
// start, one when the pointer moves (lighter over the middle square, where the program has its
// record button) and one when the button is pressed (dark), so that start-up and input latency
// can be timed the same way as the program's.
#include <irrlicht.h>

using namespace irr;

namespace {

const video::SColor resting(255, 202, 255, 112);
const video::SColor hovered(255, 232, 255, 142);
const video::SColor pressed(255, 66, 76, 90);
const core::rect<s32> buttonArea(150, 101, 218, 169);

class Redrawer : public IEventReceiver {
public:
    explicit Redrawer(video::IVideoDriver* driver) : driver(driver) {}

    void draw(video::SColor colour) {
        driver->beginScene(true, false, colour);
        driver->endScene();
    }

    bool OnEvent(const SEvent& event) override {
        if (event.EventType != EET_MOUSE_INPUT_EVENT)
            return false;
        const core::position2d<s32> point(event.MouseInput.X, event.MouseInput.Y);
        if (event.MouseInput.Event == EMIE_LMOUSE_PRESSED_DOWN)
            draw(pressed);
        else if (event.MouseInput.Event == EMIE_MOUSE_MOVED)
            draw(buttonArea.isPointInside(point) ? hovered : resting);
        return false;
    }

private:
    video::IVideoDriver* driver;
};

} // namespace

int main() {
    SIrrlichtCreationParameters parameters;
    parameters.DriverType = video::EDT_BURNINGSVIDEO;
    parameters.WindowSize = core::dimension2d<u32>(368, 321);
    IrrlichtDevice* device = createDeviceEx(parameters);
    if (device == nullptr)
        return 1;
    device->setWindowCaption(L"Murmelo reference");
    Redrawer redrawer(device->getVideoDriver());
    device->setEventReceiver(&redrawer);
    device->run();
    redrawer.draw(resting);
    while (device->run())
        device->yield();
    device->drop();
    return 0;
}
