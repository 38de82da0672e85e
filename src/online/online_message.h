// Messages of the online-access service addressed to an asset: a name, a soup and the asset's
// KUID; the versioned form adds a version and a flag. The same body travels in packets and in the
// stored-message file.
#pragma once

#include <memory>

#include "assetdata/soup.h"
#include "core/kuid.h"
#include "qel/pstring.h"
#include "qel/string.h"
#include "qel/types.h"

class TStream;

class OnlineMessage {
 public:
  OnlineMessage() = default;
  virtual ~OnlineMessage() = default;

  // KUID, name, soup.
  virtual void Write(TStream& out) const;
  // False when the body is cut short or its soup does not read; the fields read so far stay.
  virtual bool Read(TStream& in);
  virtual bool IsVersioned() const { return false; }

  Qel::String name;
  Soup soup;
  KUID kuid = KUID::Null();
};

class OnlineVersionedMessage : public OnlineMessage {
 public:
  OnlineVersionedMessage() = default;
  // A versioned copy of a plain message: version 0, flag false.
  explicit OnlineVersionedMessage(const OnlineMessage& plain);

  void Write(TStream& out) const override;
  bool Read(TStream& in) override;
  bool IsVersioned() const override { return true; }

  u32 version = 0;
  bool flag = false;
};

// A message of an online group: who sent it, a text, the group and the soup.
struct OnlineGroupMessage {
  KUID sender = KUID::Null();
  Qel::String text;
  Qel::PString group;
  Soup soup;

  bool Read(TStream& in);
};
