#pragma once
// Maps the rtsps://HOST:7441/ALIAS?enableSrtp form that the console shows onto
// the plain rtsp://HOST:7447/ALIAS form the RTSP client connects to.
#include <string>
#include <string_view>

std::string ToPlainRtspUrl(std::string_view url);
