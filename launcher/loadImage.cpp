// The splash picture is not an image format of ours: the whole file goes to
// Windows as the data of one icon image, so PNG and icon bitmaps both work
// and the splash keeps the picture's own size.
#include "loadImage.h"

#include "loadconfig.h"

namespace launcher {
namespace {

// A splash picture takes a few hundred kilobytes. 16 MiB still holds an
// uncompressed 32-bit picture larger than a full-HD screen (1920 by 1080
// pixels take 8.6 MB with their mask), and a 32-bit launcher finds such a
// block even in a fragmented address space.
constexpr LONGLONG kLargestImage = 16 << 20;

// A zero-filled block of the process heap, freed when it goes.
class HeapBlock {
public:
  explicit HeapBlock(SIZE_T size) : bytes(static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size))) {}
  ~HeapBlock() {
    if (bytes && !HeapFree(GetProcessHeap(), 0, bytes)) OutputDebugStringA("ERROR HeapFree\n");
  }
  HeapBlock(const HeapBlock &) = delete;
  HeapBlock &operator=(const HeapBlock &) = delete;
  BYTE *get() const { return bytes; }

private:
  BYTE *bytes;
};

void takeSizeOf(HICON icon) {
  ICONINFO info{};
  if (!GetIconInfo(icon, &info)) return;
  if (info.hbmColor) {
    BITMAP bitmap{};
    if (GetObjectW(info.hbmColor, sizeof bitmap, &bitmap)) {
      jobSettings.splashWidth = bitmap.bmWidth;
      jobSettings.splashHeight = bitmap.bmHeight;
    }
    DeleteObject(info.hbmColor);
  }
  if (info.hbmMask) DeleteObject(info.hbmMask);
}

}  // namespace

void initImage(const wchar_t *imagePath) {
  if (!imagePath) return;
  OwnedHandle file(CreateFileW(imagePath, FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    LOG_SYSTEM_ERROR(GetLastError(), " ");
    return;
  }
  // Only a file on a disk is read: a device named as the picture (COM1, NUL,
  // a pipe) has no size and could keep a read waiting for ever.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    const DWORD error = GetLastError();
    LOG_SYSTEM_ERROR(error != NO_ERROR ? error : ERROR_INVALID_FUNCTION, "GetFileType ");
    return;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) {
    LOG_SYSTEM_ERROR(GetLastError(), "GetFileSizeEx ");
    return;
  }
  if (size.QuadPart > kLargestImage) {
    LOG_SYSTEM_ERROR(ERROR_FILE_TOO_LARGE, "GetFileSizeEx ");
    return;
  }
  // One read of no more than the block holds; a file that shrank meanwhile
  // gives fewer bytes, and only those are used.
  const DWORD wanted = static_cast<DWORD>(size.QuadPart);
  HeapBlock data(wanted);
  if (!data.get()) {
    OutputDebugStringA("ERROR HeapAlloc\n");
    return;
  }
  DWORD read = 0;
  if (!ReadFile(file.get(), data.get(), wanted, &read, nullptr)) {
    LOG_SYSTEM_ERROR(GetLastError(), "ReadFile ");
    return;
  }
  file.reset();

  // Sizes 0 without LR_DEFAULTSIZE: the icon keeps the image's own size.
  jobSettings.splashIcon = CreateIconFromResourceEx(data.get(), read, TRUE, 0x00030000, 0, 0, LR_DEFAULTCOLOR);
  if (!jobSettings.splashIcon) {
    LOG_SYSTEM_ERROR(GetLastError(), "CreateIconFromResourceEx ");
    return;
  }
  takeSizeOf(jobSettings.splashIcon);
}

HBITMAP scaledImage(HICON icon, int width, int height, int scaledWidth, int scaledHeight) {
  HDC screen = GetDC(nullptr);
  HDC natural = CreateCompatibleDC(screen), scaled = CreateCompatibleDC(screen);
  HBITMAP naturalBits = CreateCompatibleBitmap(screen, width, height);
  HBITMAP scaledBits = CreateCompatibleBitmap(screen, scaledWidth, scaledHeight);
  bool drawn = false;
  if (natural && scaled && naturalBits && scaledBits) {
    HGDIOBJ oldNatural = SelectObject(natural, naturalBits), oldScaled = SelectObject(scaled, scaledBits);
    // HALFTONE averages the source pixels that fall on each target pixel,
    // where plain stretching would repeat or drop whole rows and columns.
    SetStretchBltMode(scaled, HALFTONE);
    SetBrushOrgEx(scaled, 0, 0, nullptr);
    drawn = DrawIconEx(natural, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL) &&
            StretchBlt(scaled, 0, 0, scaledWidth, scaledHeight, natural, 0, 0, width, height, SRCCOPY);
    SelectObject(natural, oldNatural);
    SelectObject(scaled, oldScaled);
  }
  if (!drawn) LOG_SYSTEM_ERROR(GetLastError(), "StretchBlt ");
  if (natural) DeleteDC(natural);
  if (scaled) DeleteDC(scaled);
  if (naturalBits) DeleteObject(naturalBits);
  if (!drawn && scaledBits) DeleteObject(scaledBits);
  ReleaseDC(nullptr, screen);
  return drawn ? scaledBits : nullptr;
}

}  // namespace launcher
