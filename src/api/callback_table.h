#pragma once

#include "pel_ipc.h"

namespace pel {

// Both ends call all four callbacks without testing them, so a table with a
// gap is refused at creation.
inline bool HasAllCallbacks(const PelIpcCallback& table) noexcept {
  return table.OnConnect != nullptr && table.OnSend != nullptr && table.OnRecv != nullptr &&
         table.OnClose != nullptr;
}

}  // namespace pel
