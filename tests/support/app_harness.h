// What a test of the program's windows sets up afresh for each case: private settings,
// message boxes recorded instead of shown, every question answered yes, and a temporary
// folder. A QtTest class derives from it and calls SetUpApp() from init() and
// TearDownApp() from cleanup().
#pragma once

#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/temp_dir.h"

class AppHarness {
 protected:
  void SetUpApp() {
    box_.shown.clear();
    home_ = new ScopedConfigHome;
    scoped_ = new ScopedMessageBox(&box_);
    prompts_ = new ScopedUserPrompts(&accept_);
    dir_ = new TempDir;
  }
  void TearDownApp() {
    delete prompts_;
    delete scoped_;
    delete home_;
    delete dir_;
    prompts_ = nullptr;
    scoped_ = nullptr;
    home_ = nullptr;
    dir_ = nullptr;
  }

  RecordingMessageBox box_;
  AcceptingPrompts accept_;
  ScopedUserPrompts* prompts_ = nullptr;
  ScopedConfigHome* home_ = nullptr;
  ScopedMessageBox* scoped_ = nullptr;
  TempDir* dir_ = nullptr;
};
