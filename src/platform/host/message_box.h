// Where MessageBoxA goes: a presenter the host registers.
#pragma once

#include <memory>
#include <string>

#include "../win32/types.h"

namespace plat {

struct MessageBoxRequest {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};

class MessagePresenter {
 public:
  virtual ~MessagePresenter() = default;
  // Shows the box and returns the button the user chose (IDOK, ...). May block.
  virtual int Present(const MessageBoxRequest& request) = 0;
};

// Installs a presenter; null restores the default, which writes the box to
// standard error and answers IDOK.
void SetMessagePresenter(std::shared_ptr<MessagePresenter> presenter);
std::shared_ptr<MessagePresenter> GetMessagePresenter();

}  // namespace plat
