// Helpers shared by the video tests on Windows: test clips, access-unit
// splitting and Media Foundation start-up.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <objbase.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::vector<uint8_t> ReadTestClip(const char* name) {
    std::vector<uint8_t> bytes;
    const std::string path = std::string(TAVIK_SOURCE_DIR) + "/tests/data/video/" + name;
    for (const std::string& candidate : {path, "Z:" + path}) {
        FILE* f = std::fopen(candidate.c_str(), "rb");
        if (!f) continue;
        uint8_t chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
        std::fclose(f);
        break;
    }
    return bytes;
}

// Splits an H.264 Annex-B stream written with access unit delimiters
// (NAL type 9) into access units.
inline std::vector<std::vector<uint8_t>> SplitAtDelimiters(const std::vector<uint8_t>& s) {
    std::vector<std::vector<uint8_t>> units;
    std::vector<size_t> starts;
    for (size_t i = 0; i + 4 < s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 0 && s[i + 3] == 1 && (s[i + 4] & 0x1F) == 9)
            starts.push_back(i);
    }
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t end = k + 1 < starts.size() ? starts[k + 1] : s.size();
        units.emplace_back(s.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                           s.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return units;
}

// COM (multithreaded) and Media Foundation for the life of a test.
struct MediaFoundationScope {
    bool ok = false;
    MediaFoundationScope() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ok = SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_FULL));
    }
    ~MediaFoundationScope() {
        if (ok) MFShutdown();
        CoUninitialize();
    }
};
