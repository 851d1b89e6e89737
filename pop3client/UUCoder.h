// The encoder/decoder component the POP3 client carries. Nothing in the
// programs encodes or decodes, so it only holds its settings and events.
#pragma once

#include "platform/Component.h"

enum class UUMethods { uuMime, uuCode };

class TUUProcessor : public platform::TComponent {
 public:
  explicit TUUProcessor(platform::TComponent* owner) : platform::TComponent(owner) {}

  UUMethods Method = UUMethods::uuMime;
  platform::TNotifyEvent OnBeginEncode;
  platform::TNotifyEvent OnEndEncode;
  platform::TNotifyEvent OnBeginDecode;
  platform::TNotifyEvent OnEndDecode;
};
