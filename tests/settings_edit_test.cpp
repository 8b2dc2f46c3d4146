// The Settings dialog's edits of its working camera list.
#include <gtest/gtest.h>

#include "app/settings_edit.h"

TEST(SettingsEdit, ListLineUsesCameraForAnEmptyName) {
  CameraEntry entry;
  entry.Url = "rtsp://10.0.0.2/a";
  EXPECT_EQ(CameraListLine(entry), "Camera  \xE2\x80\x94  rtsp://10.0.0.2/a");
  entry.Name = "Caf\xC3\xA9";
  EXPECT_EQ(CameraListLine(entry), "Caf\xC3\xA9  \xE2\x80\x94  rtsp://10.0.0.2/a");
}

TEST(SettingsEdit, AddUpdateRemove) {
  std::vector<CameraEntry> list;
  EXPECT_FALSE(AddCamera(list, "Porch", "")) << "no address, nothing added";
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(AddCamera(list, "", " rtsp://h/1 "));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Name, "Camera");
  EXPECT_EQ(list[0].Url, " rtsp://h/1 ") << "stored exactly as typed";
  EXPECT_EQ(list[0].Zoom, 1.0);
  EXPECT_EQ(list[0].PanX, 0.5);
  EXPECT_EQ(list[0].PanY, 0.5);

  list[0].Zoom = 3.0;
  list[0].PanX = 0.25;
  EXPECT_TRUE(UpdateCamera(list, 0, "Porch", "rtsps://h:7441/x?enableSrtp", ""));
  EXPECT_EQ(list[0].Name, "Porch");
  EXPECT_EQ(list[0].Url, "rtsps://h:7441/x?enableSrtp");
  EXPECT_EQ(list[0].Zoom, 3.0) << "update keeps zoom and pan";
  EXPECT_EQ(list[0].PanX, 0.25);
  EXPECT_TRUE(UpdateCamera(list, 0, "", "u", ""));
  EXPECT_EQ(list[0].Name, "Camera");
  EXPECT_FALSE(UpdateCamera(list, 0, "x", "", "s"));
  EXPECT_FALSE(UpdateCamera(list, -1, "x", "u", "s"));
  EXPECT_FALSE(UpdateCamera(list, 1, "x", "u", "s"));
  EXPECT_EQ(list[0].Url, "u");
  EXPECT_EQ(list[0].SubUrl, "") << "a refused update leaves the thumbnail address too";

  // The thumbnail address is set, changed and cleared with the entry, and the
  // list line tells which entries have one.
  EXPECT_TRUE(UpdateCamera(list, 0, "Porch", "u", "rtsp://h/low"));
  EXPECT_EQ(list[0].SubUrl, "rtsp://h/low");
  EXPECT_EQ(CameraListLine(list[0]), "Porch  \xE2\x80\x94  u  (+ thumbnail address)");
  EXPECT_TRUE(UpdateCamera(list, 0, "Porch", "u", ""));
  EXPECT_EQ(list[0].SubUrl, "");
  EXPECT_EQ(CameraListLine(list[0]), "Porch  \xE2\x80\x94  u");
  EXPECT_TRUE(AddCamera(list, "With sub", "um", "us"));
  EXPECT_EQ(list.back().SubUrl, "us");
  list.pop_back();

  EXPECT_TRUE(AddCamera(list, "B", "ub"));
  EXPECT_TRUE(AddCamera(list, "C", "uc"));
  EXPECT_FALSE(RemoveCamera(list, -1));
  EXPECT_FALSE(RemoveCamera(list, 3));
  EXPECT_TRUE(RemoveCamera(list, 1));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].Name, "C");

  // Remove and add again starts the camera afresh.
  EXPECT_TRUE(RemoveCamera(list, 0));
  EXPECT_TRUE(AddCamera(list, "Camera", "u"));
  EXPECT_EQ(list.back().Zoom, 1.0);
}
