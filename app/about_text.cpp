#include "app/about_text.h"

std::string AboutText() {
  return "Tavik \xE2\x80\x94 Orbisfield\n"
         "\n"
         "Live view of your UniFi Protect cameras.\n"
         "Native Win32 C++ \xC2\xB7 hand-rolled RTSP \xC2\xB7 Media Foundation \xC2\xB7 Direct3D "
         "11";
}
