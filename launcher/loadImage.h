// The splash picture: a file holding one icon image (PNG or icon bitmap).
#pragma once

#include <windows.h>

namespace launcher {

// Sets jobSettings.splashIcon, splashWidth and splashHeight; failures are
// logged and leave the splash without a picture.
void initImage(const wchar_t *imagePath);

// The splash picture drawn at another size, scaled smoothly (the screen's
// scale above 100 %); none when it cannot be made.
HBITMAP scaledImage(HICON icon, int width, int height, int scaledWidth, int scaledHeight);

}  // namespace launcher
