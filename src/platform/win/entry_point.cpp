// The program's entry point on Windows: a windowed program that ignores what
// the system passes in and reads and splits the whole command line itself.
#include <windows.h>

#include "app/app_main.h"
#include "app/args_collector.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return lattice::AppMain(lattice::SplitCommandLine(GetCommandLineW()));
}
