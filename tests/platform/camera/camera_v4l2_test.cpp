#include "platform/camera/pixel_formats.h"
#include "platform/camera/v4l2_camera.h"
#include "tests/support/fake_uvc_device.h"

#include <gtest/gtest.h>

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>

namespace okuva::camera {
namespace {

constexpr const char* kCam = "/dev/video0";

struct Rig {
  std::shared_ptr<FakeUvcDevice> fake = std::make_shared<FakeUvcDevice>();
  std::unique_ptr<V4l2Camera> camera;
  explicit Rig(uint32_t settle = 0) {
    fake->AddWebcam(kCam);
    fake->AddMetadataNode("/dev/video1");
    camera = std::make_unique<V4l2Camera>(kCam, fake);
    camera->SetSettleFrames(settle);
  }
};

const Control* Find(const std::vector<Control>& controls, uint32_t id) {
  auto it =
      std::find_if(controls.begin(), controls.end(), [&](const Control& c) { return c.id == id; });
  return it == controls.end() ? nullptr : &*it;
}

// Below the number bars the fake sends grey: the conversion must keep R = G = B and
// follow the gradient.
void ExpectGreyGradient(const Frame& f) {
  ASSERT_EQ(f.rgb.size(), static_cast<size_t>(f.width) * f.height * 3);
  const int32_t y = f.height / 2;
  int bright = 0;
  for (int32_t x = 0; x < f.width; x += 7) {
    const uint8_t* p = f.rgb.data() + (static_cast<size_t>(y) * f.width + x) * 3;
    EXPECT_NEAR(p[0], p[1], 6) << x;
    EXPECT_NEAR(p[2], p[1], 6) << x;
    bright = std::max<int>(bright, p[1]);
  }
  EXPECT_GT(bright, 150);
}

TEST(V4l2Enumeration, NumericOrderCaptureNodesOnly) {
  std::vector<std::string> paths = {"/dev/video10", "/dev/video2", "/dev/videoX", "/dev/video0",
                                    "/dev/video1"};
  SortDeviceNodes(paths);
  EXPECT_EQ(paths, (std::vector<std::string>{"/dev/video0", "/dev/video1", "/dev/video2",
                                             "/dev/video10", "/dev/videoX"}));

  auto fake = std::make_shared<FakeUvcDevice>();
  fake->AddUnopenableNode("/dev/video0", EACCES);
  fake->AddMetadataNode("/dev/video1");
  fake->AddWebcam("/dev/video10", "Second Cam", "usb-2");
  fake->AddWebcam("/dev/video2", "First Cam", "usb-1");
  fake->AddMetadataNode("/dev/video3", "First Cam", "usb-1");
  std::vector<std::string> unopenable;
  const auto devices = EnumerateCaptureDevices(*fake, &unopenable);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].path, "/dev/video2");
  EXPECT_EQ(devices[0].card, "First Cam");
  EXPECT_EQ(devices[0].busInfo, "usb-1");
  EXPECT_EQ(devices[0].driver, "uvcvideo");
  EXPECT_EQ(devices[1].path, "/dev/video10");
  EXPECT_EQ(unopenable, std::vector<std::string>{"/dev/video0"});
  EXPECT_EQ(fake->OpenDescriptors(), 0) << "enumeration closes what it opens";

  auto first = OpenCamera("", fake);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(static_cast<V4l2Camera&>(*first).Path(), "/dev/video2");
  auto chosen = OpenCamera("/dev/video10", fake);
  ASSERT_NE(chosen, nullptr);
  ASSERT_TRUE(chosen->Start());
  EXPECT_EQ(chosen->Name(), "Second Cam");
  EXPECT_EQ(chosen->Identity(), "usb-2");
  EXPECT_EQ(OpenCamera("/dev/video7", fake), nullptr);
  EXPECT_EQ(OpenCamera("", std::make_shared<FakeUvcDevice>()), nullptr) << "no device at all";
}

TEST(V4l2Enumeration, DeviceThatCannotBeOpenedIsReportedByStart) {
  auto fake = std::make_shared<FakeUvcDevice>();
  fake->AddUnopenableNode("/dev/video0", EBUSY);
  auto camera = OpenCamera("", fake);
  ASSERT_NE(camera, nullptr) << "a busy camera exists and must be reported, not ignored";
  EXPECT_FALSE(camera->Start());
  EXPECT_NE(camera->LastError().find(std::strerror(EBUSY)), std::string::npos)
      << camera->LastError();
  EXPECT_EQ(camera->State(), CameraState::Closed);

  // A node that is no capture device is refused with a reason, not streamed from.
  auto meta = std::make_shared<FakeUvcDevice>();
  meta->AddMetadataNode("/dev/video1");
  V4l2Camera wrong("/dev/video1", meta);
  EXPECT_FALSE(wrong.Start());
  EXPECT_FALSE(wrong.LastError().empty());
  EXPECT_EQ(meta->OpenDescriptors(), 0);
}

TEST(V4l2Formats, EnumeratedAndNegotiatedWithReadBack) {
  Rig rig;
  const auto formats = rig.camera->Formats();
  ASSERT_EQ(formats.size(), 4u);
  EXPECT_EQ(formats[0].fourcc, V4L2_PIX_FMT_YUYV);
  EXPECT_EQ(formats[0].formatName, "YUYV 4:2:2");
  EXPECT_EQ(formats[1].width, 1280);
  ASSERT_EQ(formats[1].rates.size(), 2u);
  EXPECT_EQ(formats[1].rates[0].denominator, 10u);
  EXPECT_EQ(formats[3].fourcc, V4L2_PIX_FMT_MJPEG);
  EXPECT_EQ(formats[3].height, 720);

  // Default: the preview size in the preferred pixel format at 30 frames per second.
  ASSERT_TRUE(rig.camera->Start()) << rig.camera->LastError();
  EXPECT_NE(rig.fake->LastOpenFlags() & O_NONBLOCK, 0)
      << "the user interface must never block on the device";
  StreamFormat now = rig.fake->Format(kCam);
  EXPECT_EQ(now.fourcc, V4L2_PIX_FMT_YUYV);
  EXPECT_EQ(now.width, 640);
  EXPECT_EQ(now.rate.denominator, 30u);

  // Granted as asked, while streaming: the stream restarts with the new size.
  auto granted = rig.camera->SetFormat({V4L2_PIX_FMT_MJPEG, 1280, 720, {1, 15}});
  ASSERT_TRUE(granted) << rig.camera->LastError();
  EXPECT_EQ(granted->fourcc, V4L2_PIX_FMT_MJPEG);
  EXPECT_EQ(granted->width, 1280);
  EXPECT_EQ(granted->rate.denominator, 15u);
  EXPECT_EQ(rig.fake->Format(kCam).width, 1280);
  EXPECT_TRUE(rig.fake->Streaming(kCam));
  EXPECT_EQ(rig.fake->Mappings(), 4);
  rig.fake->DeliverFrames(kCam);
  ASSERT_TRUE(rig.camera->Poll()) << rig.camera->LastError();
  EXPECT_EQ(rig.camera->Latest().width, 1280);
  EXPECT_EQ(rig.camera->Latest().height, 720);
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 1);
  ExpectGreyGradient(rig.camera->Latest());

  // Adjusted by the driver: what comes back is what the device chose, not the request.
  granted = rig.camera->SetFormat({V4L2_PIX_FMT_YUYV, 1280, 720, {1, 30}});
  ASSERT_TRUE(granted);
  EXPECT_EQ(granted->rate.denominator, 10u) << "raw 720p runs at 10 fps at most";
  granted = rig.camera->SetFormat({V4L2_PIX_FMT_YUYV, 800, 600, {1, 30}});
  ASSERT_TRUE(granted);
  EXPECT_EQ(granted->width, 640);
  EXPECT_EQ(granted->height, 480);
  EXPECT_EQ(rig.camera->CurrentFormat().width, 640);
  // A pixel format the device lacks: the driver substitutes its own, and that is read back.
  granted = rig.camera->SetFormat({V4L2_PIX_FMT_H264, 640, 480, {1, 30}});
  ASSERT_TRUE(granted);
  EXPECT_EQ(granted->fourcc, V4L2_PIX_FMT_YUYV);
  EXPECT_EQ(rig.fake->Mappings(), 4) << "no buffer leaked across restarts";
}

TEST(V4l2Formats, PreferenceTable) {
  EXPECT_LT(PixelFormatRank(V4L2_PIX_FMT_YUYV), PixelFormatRank(V4L2_PIX_FMT_MJPEG));
  EXPECT_LT(PixelFormatRank(V4L2_PIX_FMT_RGB24), PixelFormatRank(V4L2_PIX_FMT_YUYV));
  EXPECT_EQ(PixelFormatRank(V4L2_PIX_FMT_H264), -1);
  for (size_t i = 0; i < AcceptedPixelFormats().size(); ++i) {
    EXPECT_EQ(PixelFormatRank(AcceptedPixelFormats()[i].fourcc), static_cast<int>(i));
  }
}

TEST(V4l2Streaming, KeepsTheNewestFrameAndRequeues) {
  Rig rig;
  EXPECT_FALSE(rig.camera->Poll()) << "not started";
  ASSERT_TRUE(rig.camera->Start());
  EXPECT_GE(rig.camera->PollDescriptor(), 0);
  EXPECT_FALSE(rig.camera->Poll()) << "nothing delivered yet";
  EXPECT_TRUE(rig.camera->Latest().rgb.empty());

  ASSERT_EQ(rig.fake->DeliverFrames(kCam, 3), 3);
  ASSERT_TRUE(rig.camera->Poll()) << rig.camera->LastError();
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 3);
  EXPECT_EQ(rig.camera->Latest().sequence, 3u);
  ExpectGreyGradient(rig.camera->Latest());
  EXPECT_FALSE(rig.camera->Poll()) << "no new frame since";

  // All four buffers went back to the driver: four of six frames land, the newest wins.
  EXPECT_EQ(rig.fake->DeliverFrames(kCam, 6), 4);
  ASSERT_TRUE(rig.camera->Poll());
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 7);
  EXPECT_EQ(rig.fake->DeliverFrames(kCam, 4), 4);
  ASSERT_TRUE(rig.camera->Poll());
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 13);

  rig.camera->Stop();
  EXPECT_EQ(rig.camera->State(), CameraState::Stopped);
  EXPECT_EQ(rig.camera->PollDescriptor(), -1);
  EXPECT_EQ(rig.fake->OpenDescriptors(), 0);
  EXPECT_EQ(rig.fake->Mappings(), 0);
  ASSERT_TRUE(rig.camera->Start()) << "a stopped camera starts again";
  rig.fake->DeliverFrames(kCam);
  EXPECT_TRUE(rig.camera->Poll());
}

TEST(V4l2Streaming, DescriptorSignalsFramesAndQueriesDoNotHoldTheDevice) {
  Rig rig;
  // A camera that is not running opens the device only for the length of a query.
  EXPECT_FALSE(rig.camera->Formats().empty());
  EXPECT_FALSE(rig.camera->Controls().empty());
  ASSERT_TRUE(rig.camera->SetControl(V4L2_CID_BRIGHTNESS, 90));
  ASSERT_TRUE(rig.camera->SetFormat({V4L2_PIX_FMT_MJPEG, 1280, 720, {1, 30}}));
  EXPECT_EQ(rig.fake->OpenDescriptors(), 0);
  EXPECT_EQ(rig.camera->CurrentFormat().width, 1280);
  ASSERT_TRUE(rig.camera->Start());
  EXPECT_EQ(rig.fake->Format(kCam).fourcc, V4L2_PIX_FMT_MJPEG);
  EXPECT_EQ(rig.fake->Format(kCam).width, 1280);
  EXPECT_EQ(rig.fake->ControlValue(kCam, V4L2_CID_BRIGHTNESS), 90);

  // The descriptor is readable exactly while a frame waits, so an event loop watching
  // it neither misses frames nor spins.
  pollfd p{rig.camera->PollDescriptor(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  rig.fake->DeliverFrames(kCam, 2);
  EXPECT_EQ(poll(&p, 1, 0), 1);
  ASSERT_TRUE(rig.camera->Poll());
  EXPECT_EQ(poll(&p, 1, 0), 0);
}

TEST(V4l2Streaming, DamagedBufferIsSkippedAndRequeued) {
  Rig rig;
  ASSERT_TRUE(rig.camera->Start());
  rig.fake->DeliverFrames(kCam);
  ASSERT_TRUE(rig.camera->Poll());
  ASSERT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 1);

  rig.fake->DamageNextFrame(kCam);
  rig.fake->DeliverFrames(kCam);
  EXPECT_FALSE(rig.camera->Poll());
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 1)
      << "the damaged frame is not shown";
  EXPECT_EQ(rig.fake->DeliverFrames(kCam, 4), 4) << "the damaged buffer was re-queued";
  ASSERT_TRUE(rig.camera->Poll());
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 6);

  // A damaged frame behind a good one does not hide the good one.
  rig.fake->DeliverFrames(kCam);
  rig.fake->DamageNextFrame(kCam);
  rig.fake->DeliverFrames(kCam);
  ASSERT_TRUE(rig.camera->Poll());
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 7);
  EXPECT_EQ(rig.camera->State(), CameraState::Streaming);

  // A raw frame (9) cut short without an error flag is not shown either.
  rig.fake->ShortenNextFrame(kCam);
  rig.fake->DeliverFrames(kCam);
  EXPECT_FALSE(rig.camera->Poll());
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 7);
  EXPECT_EQ(rig.fake->DeliverFrames(kCam, 4), 4);  // frames 10 to 13
  ASSERT_TRUE(rig.camera->Poll());
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 13);
}

TEST(V4l2Streaming, SettleFramesDroppedAfterStartAndFormatChange) {
  Rig rig(V4l2Camera::kDefaultSettleFrames);
  EXPECT_EQ(rig.camera->SettleFrames(), 5u);
  ASSERT_TRUE(rig.camera->Start());
  rig.fake->DeliverFrames(kCam, 3);
  EXPECT_FALSE(rig.camera->Poll());
  rig.fake->DeliverFrames(kCam, 2);
  EXPECT_FALSE(rig.camera->Poll());
  EXPECT_TRUE(rig.camera->Latest().rgb.empty());
  rig.fake->DeliverFrames(kCam, 1);
  ASSERT_TRUE(rig.camera->Poll());
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 6);

  ASSERT_TRUE(rig.camera->SetFormat({V4L2_PIX_FMT_MJPEG, 640, 480, {1, 30}}));
  rig.fake->DeliverFrames(kCam, 4);
  EXPECT_FALSE(rig.camera->Poll());
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 6) << "the old frame stays meanwhile";
  rig.fake->DeliverFrames(kCam, 2);  // frame 11 is the fifth to settle, 12 shows
  ASSERT_TRUE(rig.camera->Poll());
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 12);
}

TEST(V4l2Controls, EnumeratedWithKindsMenusAndFlags) {
  Rig rig;
  const auto controls = rig.camera->Controls();
  EXPECT_EQ(Find(controls, V4L2_CID_USER_CLASS), nullptr) << "class headings are not controls";
  EXPECT_EQ(Find(controls, V4L2_CID_HUE), nullptr) << "disabled controls are left out";
  const Control* brightness = Find(controls, V4L2_CID_BRIGHTNESS);
  ASSERT_NE(brightness, nullptr);
  EXPECT_EQ(brightness->kind, ControlKind::Integer);
  EXPECT_EQ(brightness->name, "Brightness");
  EXPECT_EQ(brightness->maximum, 255);
  EXPECT_EQ(brightness->value, 128);
  const Control* awb = Find(controls, V4L2_CID_AUTO_WHITE_BALANCE);
  ASSERT_NE(awb, nullptr);
  EXPECT_EQ(awb->kind, ControlKind::Boolean);
  const Control* temperature = Find(controls, V4L2_CID_WHITE_BALANCE_TEMPERATURE);
  ASSERT_NE(temperature, nullptr);
  EXPECT_TRUE(temperature->inactive);
  const Control* exposure = Find(controls, V4L2_CID_EXPOSURE_AUTO);
  ASSERT_NE(exposure, nullptr);
  EXPECT_EQ(exposure->kind, ControlKind::Menu);
  ASSERT_EQ(exposure->menu.size(), 2u) << "menu gaps are skipped";
  EXPECT_EQ(exposure->menu[0], (std::pair<int32_t, std::string>{1, "Manual Mode"}));
  EXPECT_EQ(exposure->menu[1].first, 3);
  const Control* reset = Find(controls, V4L2_CID_PAN_RESET);
  ASSERT_NE(reset, nullptr);
  EXPECT_EQ(reset->kind, ControlKind::Button);
  // Enumeration walks in id order across classes.
  EXPECT_TRUE(std::is_sorted(controls.begin(), controls.end(),
                             [](const Control& a, const Control& b) { return a.id < b.id; }));
}

TEST(V4l2Controls, SetLiveAndRefusedOutOfRange) {
  Rig rig;
  ASSERT_TRUE(rig.camera->Start());
  ASSERT_TRUE(rig.camera->SetControl(V4L2_CID_BRIGHTNESS, 200));
  EXPECT_EQ(rig.fake->ControlValue(kCam, V4L2_CID_BRIGHTNESS), 200);
  ASSERT_TRUE(rig.camera->SetControl(V4L2_CID_AUTO_WHITE_BALANCE, 0));
  EXPECT_FALSE(Find(rig.camera->Controls(), V4L2_CID_WHITE_BALANCE_TEMPERATURE)->inactive);
  EXPECT_FALSE(rig.camera->SetControl(V4L2_CID_BRIGHTNESS, 300));
  EXPECT_NE(rig.camera->LastError().find("Brightness"), std::string::npos)
      << rig.camera->LastError();
  EXPECT_EQ(rig.fake->ControlValue(kCam, V4L2_CID_BRIGHTNESS), 200);
  EXPECT_FALSE(rig.camera->SetControl(V4L2_CID_EXPOSURE_AUTO, 2)) << "not a menu item";
  EXPECT_FALSE(rig.camera->SetControl(0x00981fff, 1)) << "unknown control";
  ASSERT_TRUE(rig.camera->SetControl(V4L2_CID_PAN_RESET, 1));
  EXPECT_EQ(rig.fake->ButtonPresses(kCam), 1);
  EXPECT_EQ(Find(rig.camera->Controls(), V4L2_CID_BRIGHTNESS)->value, 200);
}

TEST(V4l2Unplug, PollErrorClosesCleanlyAndReplugRestoresSettings) {
  Rig rig;
  ASSERT_TRUE(rig.camera->Start());
  ASSERT_TRUE(rig.camera->SetFormat({V4L2_PIX_FMT_MJPEG, 1280, 720, {1, 15}}));
  ASSERT_TRUE(rig.camera->SetControl(V4L2_CID_BRIGHTNESS, 77));
  ASSERT_TRUE(rig.camera->SetControl(V4L2_CID_POWER_LINE_FREQUENCY, 2));
  ASSERT_TRUE(rig.camera->SetControl(V4L2_CID_PAN_RESET, 1));
  rig.fake->DeliverFrames(kCam, 2);
  ASSERT_TRUE(rig.camera->Poll());

  rig.fake->Unplug(kCam);
  EXPECT_FALSE(rig.camera->Poll());
  EXPECT_EQ(rig.camera->State(), CameraState::Unplugged);
  EXPECT_FALSE(rig.camera->LastError().empty());
  EXPECT_EQ(rig.fake->OpenDescriptors(), 0);
  EXPECT_EQ(rig.fake->Mappings(), 0);
  EXPECT_EQ(rig.camera->PollDescriptor(), -1);
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 2) << "the last frame stays";
  EXPECT_FALSE(rig.camera->Poll());
  EXPECT_TRUE(rig.camera->Formats().empty());
  EXPECT_FALSE(rig.camera->SetControl(V4L2_CID_BRIGHTNESS, 10));
  EXPECT_FALSE(rig.camera->SetFormat({V4L2_PIX_FMT_YUYV, 640, 480, {1, 30}}));
  EXPECT_FALSE(rig.camera->Reconnect()) << "not back yet";
  EXPECT_EQ(rig.camera->State(), CameraState::Unplugged);

  // Back under another node name, with the driver's defaults.
  rig.fake->Replug(kCam, "/dev/video4");
  EXPECT_EQ(rig.fake->ControlValue("/dev/video4", V4L2_CID_BRIGHTNESS), 128);
  ASSERT_TRUE(rig.camera->Reconnect()) << rig.camera->LastError();
  EXPECT_EQ(rig.camera->State(), CameraState::Streaming);
  EXPECT_EQ(rig.camera->Path(), "/dev/video4");
  const StreamFormat format = rig.fake->Format("/dev/video4");
  EXPECT_EQ(format.fourcc, V4L2_PIX_FMT_MJPEG);
  EXPECT_EQ(format.width, 1280);
  EXPECT_EQ(format.rate.denominator, 15u);
  EXPECT_EQ(rig.fake->ControlValue("/dev/video4", V4L2_CID_BRIGHTNESS), 77);
  EXPECT_EQ(rig.fake->ControlValue("/dev/video4", V4L2_CID_POWER_LINE_FREQUENCY), 2);
  EXPECT_EQ(rig.fake->ButtonPresses("/dev/video4"), 0) << "buttons are actions, not settings";
  rig.fake->DeliverFrames("/dev/video4");
  ASSERT_TRUE(rig.camera->Poll());
  EXPECT_EQ(rig.camera->Latest().width, 1280);
  EXPECT_EQ(FakeUvcDevice::FrameNumber(rig.camera->Latest()), 1);
}

TEST(V4l2Unplug, DequeueErrorAndOtherCameraNotTakenForIt) {
  Rig rig;
  ASSERT_TRUE(rig.camera->Start());
  rig.fake->DeliverFrames(kCam);
  rig.fake->UnplugDuringDequeue(kCam);
  EXPECT_FALSE(rig.camera->Poll());
  EXPECT_EQ(rig.camera->State(), CameraState::Unplugged);
  EXPECT_NE(rig.camera->LastError().find(std::strerror(ENODEV)), std::string::npos)
      << rig.camera->LastError();
  EXPECT_EQ(rig.fake->OpenDescriptors(), 0);
  EXPECT_EQ(rig.fake->Mappings(), 0);

  // Another model on another port is not our camera.
  rig.fake->AddWebcam("/dev/video2", "Other Cam", "usb-9");
  EXPECT_FALSE(rig.camera->Reconnect());
  EXPECT_EQ(rig.camera->State(), CameraState::Unplugged);
  // The same model on another port is, when it is the only one.
  rig.fake->AddWebcam("/dev/video6", FakeUvcDevice::kCard, "usb-0000:00:14.0-3");
  ASSERT_TRUE(rig.camera->Reconnect());
  EXPECT_EQ(rig.camera->Path(), "/dev/video6");

  // Stopping an unplugged camera is harmless and ends reconnection.
  rig.fake->Unplug("/dev/video6");
  EXPECT_FALSE(rig.camera->Poll());
  rig.camera->Stop();
  EXPECT_EQ(rig.camera->State(), CameraState::Stopped);
  rig.fake->Replug("/dev/video6", "/dev/video6");
  EXPECT_FALSE(rig.camera->Reconnect());
}

}  // namespace
}  // namespace okuva::camera
