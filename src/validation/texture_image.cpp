#include "validation/texture_image.h"

#include <sys/stat.h>

#include <memory>

#include "qel/file.h"
#include "qelgfx/stb_image_decoder.h"

namespace TETLib {

bool DecodeImageFile(const char* path, ImageSize& size) {
  size = {};
  // Tested before the open too: opening a pipe would wait for a writer that never comes.
  const Qel::String resolved = Qel::File::Resolve(path);
  struct stat info;
  if (::stat(resolved.CStr(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  Qel::File file;
  if (file.Open(resolved.CStr(), Qel::File::kModeRead) != 0) return false;
  if (::fstat(file.GetHandle(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const u64 length = u64(info.st_size);
  if (length == 0 || length > kMaxImageFileBytes) return false;
  // Read into storage that is not cleared first: every byte is overwritten.
  std::unique_ptr<stbi_uc[]> bytes(new stbi_uc[length]);
  if (file.Read(bytes.get(), u32(length)) != length) return false;
  int width = 0;
  int height = 0;
  int channels = 0;
  if (!ReadImageHeader(bytes.get(), length, &width, &height, &channels)) return false;
  if (width <= 0 || height <= 0 || u32(width) > kMaxImageSide || u32(height) > kMaxImageSide ||
      u64(width) * u64(height) > kMaxImagePixels || !ImageHoldsItsPixels(bytes.get(), length)) {
    return false;
  }
  stbi_uc* pixels = stbi_load_from_memory(bytes.get(), int(length), &width, &height, &channels, 0);
  if (pixels == nullptr) return false;
  stbi_image_free(pixels);
  size = {u32(width), u32(height)};
  return true;
}

}  // namespace TETLib
