// The picture the main thread would show while it is blocked for a long time on the
// shared/exclusive lock. No display is ever attached in this tool, so it draws nothing.
#pragma once

#include "qel/pstring.h"
#include "qel/types.h"

class BlockingScreen {
 public:
  // The instance, created on the first call and destroyed at process exit.
  static BlockingScreen& Get();

  BlockingScreen(const BlockingScreen&) = delete;
  BlockingScreen& operator=(const BlockingScreen&) = delete;
  virtual ~BlockingScreen();

  bool HasDisplay() const { return display_ != nullptr; }
  void Show();
  void Refresh();
  void Hide();
  i32 GetShowCount() const { return showCount_; }
  const Qel::PString& GetPictureName() const { return pictureName_; }
  const Qel::PString& GetPictureFolder() const { return pictureFolder_; }
  i32 GetLayoutMode() const { return layoutMode_; }

 private:
  BlockingScreen();
  void ReleaseDrawing();

  void* display_ = nullptr;
  Qel::PString pictureName_;
  Qel::PString pictureFolder_;
  i32 layoutMode_ = 3;
  i32 showCount_ = 0;
  void* drawable_ = nullptr;
  void* texture_ = nullptr;
};
