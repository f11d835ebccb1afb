// The splash picture: a file holding one icon image (PNG or icon bitmap).
#pragma once

namespace launcher {

// Sets jobSettings.splashIcon, splashWidth and splashHeight; failures are
// logged and leave the splash without a picture.
void initImage(const wchar_t *imagePath);

}  // namespace launcher
