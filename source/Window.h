#pragma once

#include <irrlicht.h>

// The program window as the desktop sees it. The window is never held: every operation looks
// it up by its caption (and, once it has one, its class).

// Gives the freshly shown window its class, name, process id, fixed size and icon, and starts
// watching it for exposure. Returns false when the window cannot be found.
bool decorateProgramWindow(irr::IrrlichtDevice* device);

// True when the window is there; the lookup the close and error paths use.
bool programWindowExists();

void minimizeWindow();
// Moves the window by `offset` screen pixels and brings it to the top.
void moveWindow(irr::core::position2d<irr::s32> offset);
// Takes the window off the screen, minimized or not.
void hideWindow();

// The Expose events the engine drops: true when the window needs to be drawn again.
bool programWindowNeedsRedraw();
// Descriptor that becomes readable when window events are waiting; -1 without a display.
int windowEventDescriptor();

// Ends the connection these operations use; whatever the server still has to say is logged now.
void closeWindowServices();
