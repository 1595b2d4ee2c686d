#pragma once
// CReflashApp: the application object that starts the program and runs the dialog.

class CReflashApp {
 public:
  virtual ~CReflashApp() = default;
  // Initialises the common controls and runs the dialog modally; false ends the application.
  virtual bool InitInstance();
};

extern CReflashApp theApp;

// The framework's start: the platform's main calls it after installing the seams.
int ReflashAppMain();
