// Two-state images (enabled, disabled) of the dialog's action buttons.
#ifndef LUMO_UI_GLYPHS_H
#define LUMO_UI_GLYPHS_H

#include <windows.h>
#include <commctrl.h>

namespace lumo::ui {

enum class Glyph { kSave, kWrite, kRead };

// An image list for BCM_SETIMAGELIST: the enabled image in every state but
// the disabled one, which is greyed. size is the image's side in pixels.
HIMAGELIST CreateGlyphImages(Glyph glyph, int size);
// Puts the images on a button, left of its text.
void SetButtonGlyph(HWND button, HIMAGELIST images);

}  // namespace lumo::ui

#endif
