// Entry point of the unit test executable (native and Windows).
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <cstdlib>

// A crash under Wine exits with an unreliable code; make it a fixed one.
static LONG WINAPI ExitOnCrash(EXCEPTION_POINTERS*) {
  std::_Exit(99);
}
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  SetUnhandledExceptionFilter(ExitOnCrash);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
#endif
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
