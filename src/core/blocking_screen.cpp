#include "core/blocking_screen.h"

BlockingScreen& BlockingScreen::Get() {
  static BlockingScreen screen;
  return screen;
}

BlockingScreen::BlockingScreen() : pictureName_("BlockingScreen.jpg"), pictureFolder_("data") {}

BlockingScreen::~BlockingScreen() { ReleaseDrawing(); }

void BlockingScreen::Show() {
  if (!HasDisplay()) return;
  ++showCount_;
}

void BlockingScreen::Refresh() {}

void BlockingScreen::Hide() {
  if (!HasDisplay()) return;
  if (--showCount_ <= 0) ReleaseDrawing();
}

void BlockingScreen::ReleaseDrawing() {
  drawable_ = nullptr;
  texture_ = nullptr;
}
