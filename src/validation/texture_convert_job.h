// Converting texture descriptions "<stem>.texture.txt" into compiled textures "<stem>.texture"
// beside them: a walk over a file or folder tree, one job per description whose three steps
// (load, write, release) run one after another on the worker threads.
//
// A job reads a copy of the description in the temporary folder and never renames or changes the
// user's file. The compiled texture is written under a temporary name beside it and renamed
// into place when whole; a conversion that fails removes an older compiled texture of that name,
// and one that is cut short (a kill) leaves it as it was.
#pragma once

#include <atomic>
#include <memory>

#include "core/tcx_dispatcher.h"
#include "qel/file_path.h"
#include "qel/options.h"
#include "qel/pstring.h"
#include "qel/types.h"

class CompressAsciiResource;
class KestroResourceDatabase;
class ResultsLog;

// The walk's results.
enum TextureConvertStatus : u32 {
  kTextureConvertFailed = 0,   // the path could not be searched, or a conversion failed
  kTextureConvertDropped = 1,  // the worker threads stopped before a job had run
  kTextureConvertDone = 2,     // every description found was converted
};

// Registers the resource type "convert-tex.txt" with the engine's plug-ins, and makes the plug-ins
// when nothing has yet (once).
void RegisterTextureConversionType();

// Converts the description at path, or every description in the folder tree at path (links to
// folders are not followed). An empty folder name is found from each file's path. At most
// kMaxJobsInFlight jobs are started before the oldest is waited for. The number of descriptions
// converted goes to `converted` when given.
u32 CompressTexturesInPath(const Qel::PString& folderName, const Qel::File::Path& path,
                           ResultsLog* log, u32* converted = nullptr);
// The command's entry; the same as CompressTexturesInPath.
u32 CompressTextures(const Qel::PString& folderName, const Qel::File::Path& path, ResultsLog* log,
                     u32* converted = nullptr);

inline constexpr u32 kMaxJobsInFlight = 64;

class PymTextureConvertFileRPC {
 public:
  PymTextureConvertFileRPC(const Qel::PString& folderName, const Qel::File::Path& path,
                           ResultsLog* log);
  // Cancels the steps still queued, waits for one that is running, then releases what the
  // steps held and removes the copy.
  ~PymTextureConvertFileRPC();
  PymTextureConvertFileRPC(const PymTextureConvertFileRPC&) = delete;
  PymTextureConvertFileRPC& operator=(const PymTextureConvertFileRPC&) = delete;

  // Prepares on the calling thread and, when that succeeded, starts the steps.
  void Start();
  // Runs queued calls until the steps are done; false when they were dropped (the dispatcher
  // stopped first).
  bool WaitUntilDone();
  bool Succeeded() const { return success_.load(); }
  const Qel::File::Path& GetDescriptionPath() const { return descriptionPath_; }

  void LoadTextureResource(intptr_t);
  void WriteTextureFile(intptr_t);
  void ReleaseTextureResource(intptr_t);
  // The third step: the release, then the mark that every step ran.
  void FinishSteps(intptr_t);

 private:
  bool PrepareFile();
  void Error(const Qel::String& text, bool withArchive);
  void RemoveOldOutput();

  Qel::PString folderName_;
  Qel::File::Path descriptionPath_;  // the user's file, as found
  Qel::File::Path copyPath_;         // the copy the description is read from
  Qel::File::Path outputPath_;       // "<stem>.texture"
  Qel::String resourceName_;         // "<folder in the content folder>/<stem>.convert-tex.txt"
  Qel::String descriptionName_;      // the user's "<folder>/<stem>.texture.txt", for messages
  ResultsLog* log_;
  std::atomic<bool> success_{true};
  std::atomic<bool> stepsRun_{false};
  KestroResourceDatabase* database_ = nullptr;
  CompressAsciiResource* resource_ = nullptr;
  bool resourceHeld_ = false;
  bool written_ = false;
  Qel::Options options_;
  std::unique_ptr<KestroWorkerCallChain> chain_;
};
