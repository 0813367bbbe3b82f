#include <gtest/gtest.h>
#include <wrl/client.h>

#include "bridge/win/GuiInterfaces.h"
#include "bridge/win/StandInMainController.h"
#include "core/app/win/MainDispatcher.h"
#include "core/win/System.h"
#include "tests/support/MemorySavedConfigStore.h"

namespace {

using Microsoft::WRL::ComPtr;

std::shared_ptr<MainDispatcher> makeDispatcher() {
  return std::make_shared<MainDispatcher>(
      nullptr, nullptr, nullptr, std::make_unique<MemorySavedConfigStore>(std::make_shared<SavedConfigStoreState>()));
}

TEST(StandInMainControllerTest, refusesCommandsAndReportsNoTraffic) {
  auto dispatcher = makeDispatcher();
  ComPtr<IMainController> controller(new StandInMainController(dispatcher));
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(controller.As(&unknown), S_OK);
  ComPtr<ILoginController> login;
  EXPECT_EQ(controller.As(&login), E_NOINTERFACE);

  BSTR game = makeBstr(L"game");
  EXPECT_EQ(controller->connect(TRUE, 1, game, 0), S_OK);
  SysFreeString(game);
  EXPECT_EQ(controller->logout(), S_OK);
  EXPECT_EQ(controller->repair(1), S_OK);
  EXPECT_EQ(controller->chooseAccount(0), S_OK);
  EXPECT_EQ(dispatcher->busyCount(), 1);

  UINT64 values[4] = {7, 7, 7, 7};
  EXPECT_EQ(controller->getRates(&values[0], &values[1], &values[2], &values[3]), S_OK);
  for (UINT64 value : values) EXPECT_EQ(value, 0u);
  EXPECT_EQ(controller->getRates(&values[0], nullptr, &values[2], &values[3]), E_POINTER);
  EXPECT_EQ(controller->getRates(nullptr, nullptr, nullptr, nullptr), E_POINTER);

  dispatcher->acquire();  // another object keeps the program running
  EXPECT_EQ(controller->detach(), S_OK);
  EXPECT_EQ(controller->detach(), S_OK);
  EXPECT_EQ(dispatcher->busyCount(), 1);
  dispatcher->release();
}

}  // namespace
