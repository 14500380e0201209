#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/files.h"
#include "platform/runtime/program.h"
#include "platform/runtime/services.h"

namespace okuva {
namespace {

TEST(RuntimeProgram, FolderAndNameLocateTheRunningExecutable) {
  const std::string folder = ProgramFolder();
  const std::string name = ExecutableName();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.front(), '/');
  if (folder != "/") {
    EXPECT_NE(folder.back(), '/');
  }
  EXPECT_EQ(name.find('/'), std::string::npos);
  EXPECT_EQ(name.find('.'), std::string::npos);
  auto info = files::FindFile(folder + "/" + name);
  ASSERT_TRUE(info) << folder << "/" << name;
  EXPECT_NE(info->mode & 0111, 0u);  // it is the program we are running
}

TEST(RuntimeRandom, DrawsAreUniformInTheHalfOpenUnitInterval) {
  RandomizeFromTimeOfDay();
  constexpr int kDraws = 200000;
  std::array<int, 10> bins{};
  double sum = 0;
  for (int i = 0; i < kDraws; ++i) {
    const double r = Rnd();
    ASSERT_GE(r, 0.0);
    ASSERT_LT(r, 1.0);
    sum += r;
    ++bins[static_cast<size_t>(r * 10)];
  }
  EXPECT_NEAR(sum / kDraws, 0.5, 0.005);
  for (int count : bins) {
    EXPECT_NEAR(count, kDraws / 10, kDraws / 100);
  }
}

TEST(RuntimeRandom, ReseedingStartsANewSequence) {
  RandomizeFromTimeOfDay();
  std::vector<double> first;
  for (int i = 0; i < 8; ++i) {
    first.push_back(Rnd());
  }
  RandomizeFromTimeOfDay();  // a later moment of the day: another seed
  std::vector<double> second;
  for (int i = 0; i < 8; ++i) {
    second.push_back(Rnd());
  }
  EXPECT_NE(first, second);
}

class ScriptedBoxes : public MessageBoxService {
public:
  struct Shown {
    std::string text;
    MessageIcon icon;
    std::string title;
  };
  void Show(const std::string& text, MessageIcon icon, const std::string& title) override {
    shown.push_back({text, icon, title});
  }
  std::vector<Shown> shown;
};

TEST(RuntimeServices, MsgBoxGoesThroughTheInstalledService) {
  auto boxes = std::make_shared<ScriptedBoxes>();
  auto previous = SetMessageBoxService(boxes);
  MsgBox("No hay Camara Web", MessageIcon::Exclamation, "Aviso");
  MsgBox("sin titulo");
  EXPECT_EQ(SetMessageBoxService(previous), boxes);

  ASSERT_EQ(boxes->shown.size(), 2u);
  EXPECT_EQ(boxes->shown[0].text, "No hay Camara Web");
  EXPECT_EQ(boxes->shown[0].icon, MessageIcon::Exclamation);
  EXPECT_EQ(boxes->shown[0].title, "Aviso");
  EXPECT_EQ(boxes->shown[1].icon, MessageIcon::None);
  EXPECT_EQ(boxes->shown[1].title, ExecutableName());  // the default title
  EXPECT_EQ(AppTitle(), ExecutableName());
}

TEST(RuntimeServices, WithoutAServiceMessagesGoToStandardError) {
  auto previous = SetMessageBoxService(nullptr);
  testing::internal::CaptureStderr();
  MsgBox("hola", MessageIcon::Critical);
  MsgBox("adios", MessageIcon::None, "Fin");
  const std::string err = testing::internal::GetCapturedStderr();
  SetMessageBoxService(previous);
  EXPECT_EQ(err, AppTitle() + ": hola\nFin: adios\n");
}

}  // namespace
}  // namespace okuva
