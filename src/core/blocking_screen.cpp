#include "core/blocking_screen.h"

BlockingScreen& BlockingScreen::Get() {
  static BlockingScreen screen;
  return screen;
}

BlockingScreen::BlockingScreen() : picture_name_("BlockingScreen.jpg"), picture_folder_("data") {}

BlockingScreen::~BlockingScreen() { ReleaseDrawing(); }

void BlockingScreen::Show() {
  if (!HasDisplay()) return;
  ++show_count_;
}

void BlockingScreen::Refresh() {}

void BlockingScreen::Hide() {
  if (!HasDisplay()) return;
  if (--show_count_ <= 0) ReleaseDrawing();
}

void BlockingScreen::ReleaseDrawing() {
  drawable_ = nullptr;
  texture_ = nullptr;
}
