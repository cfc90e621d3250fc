// Message strings: the table through LoadMessage, the fallback for missing
// ids, and a message box with the module's caption and the caller's style.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/module_state.h"
#include "diag/messages.h"
#include "host/message_box.h"
#include "host/resources.h"
#include "support/recording_presenter.h"

extern "C" const plat::ResourceTable TavroResourceTable;

namespace {

using testsupport::RecordingPresenter;


// Instances live as long as the process; a static keeps this one reachable.
HINSTANCE TavroInstance() {
  static HINSTANCE instance = plat::MakeModuleInstance(&TavroResourceTable);
  return instance;
}

class Messages : public ::testing::Test {
 protected:
  void SetUp() override { ModuleInstance = TavroInstance(); }
  void TearDown() override {
    ModuleInstance = nullptr;
    std::memset(MessageTitle, 0, sizeof MessageTitle);
    plat::SetMessagePresenter(nullptr);
  }
  static std::string Load(WORD id, int* length = nullptr) {
    char buffer[MESSAGE_CCH];
    std::memset(buffer, '#', sizeof buffer);
    int n = LoadMessage(id, buffer);
    if (length != nullptr) *length = n;
    return buffer;
  }
};

TEST_F(Messages, LoadsTheTableEntries) {
  int length = 0;
  EXPECT_EQ(Load(IDS_TITLE, &length), "Varnhold");
  EXPECT_EQ(length, 8);
  EXPECT_EQ(Load(IDS_PRINTER_IS), "Your printer %s is %s!");
  EXPECT_EQ(Load(IDS_MODULE_NAME), "TAVRO");
  EXPECT_EQ(Load(IDS_OUT_OF_MEMORY), "There is not sufficient memory for Varnhold");
}

TEST_F(Messages, EveryEntryFitsTheBufferAndTheLongestIs520) {
  const WORD ids[] = {2, 506, 507, 508, 509, 510, 511, 513, 514, 515, 516, 518, 519, 520, 521, 522, 523};
  int longest = 0;
  WORD longestId = 0;
  for (WORD id : ids) {
    int length = 0;
    std::string text = Load(id, &length);
    EXPECT_EQ(static_cast<int>(text.size()), length) << id;
    EXPECT_LT(length, MESSAGE_CCH) << id;
    EXPECT_EQ(text.find("Cannot load"), std::string::npos) << id;
    if (length > longest) {
      longest = length;
      longestId = id;
    }
  }
  EXPECT_EQ(longestId, IDS_ILLEGAL_VALUE);
  EXPECT_EQ(longest, 101);
}

TEST_F(Messages, MissingIdsGiveTheFallbackText) {
  int length = 0;
  EXPECT_EQ(Load(517, &length), "Cannot load resource string ID 517.");
  EXPECT_EQ(length, 35);
  EXPECT_EQ(Load(512), "Cannot load resource string ID 512.");
  EXPECT_EQ(Load(0), "Cannot load resource string ID 0.");
  EXPECT_EQ(Load(65535), "Cannot load resource string ID 65535.");
  // Without a module instance every string is missing.
  ModuleInstance = nullptr;
  EXPECT_EQ(Load(IDS_TITLE), "Cannot load resource string ID 515.");
  EXPECT_EQ(LoadMessage(IDS_TITLE, nullptr), 0);
}

TEST_F(Messages, ShowMessageUsesTheModuleCaptionAndTheCallersStyle) {
  auto presenter = std::make_shared<RecordingPresenter>();
  plat::SetMessagePresenter(presenter);
  LoadMessage(IDS_TITLE, MessageTitle);
  ShowMessage(IDS_OUT_OF_MEMORY, MB_ICONINFORMATION | MB_SETFOREGROUND, nullptr);
  auto shown = presenter->Boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].owner, nullptr);
  EXPECT_EQ(shown[0].text, "There is not sufficient memory for Varnhold");
  EXPECT_EQ(shown[0].caption, "Varnhold");
  EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_ICONINFORMATION | MB_SETFOREGROUND));
}

}  // namespace
