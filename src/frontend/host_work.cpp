#include "frontend/host_work.h"

#include "validation/texture_convert_job.h"

u32 ConvertTexturesAtPath(const Qel::PString& folderName, const Qel::File::Path& path,
                          ResultsLog& log) {
  return CompressTexturesInPath(folderName, path, &log);
}
