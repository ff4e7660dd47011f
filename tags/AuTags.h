#pragma once

// PLACEHOLDER until the tag containers land: only the part of the tag model that the file
// inputs and outputs use (construction, Clear, Assign). The real header replaces this file.

#include <string>

#include "platform/Component.h"

namespace tunevert {

// Base of the tag containers (placeholder: holds no values yet).
class TAuTags : public TPersistent {
 public:
  TAuTags() = default;
  std::string ClassName() const override { return "TAuTags"; }
  virtual void Clear() {}
  void Assign(const TPersistent* Source) override {
    if (Source != nullptr && dynamic_cast<const TAuTags*>(Source) != nullptr &&
        Source->ClassName() == ClassName())
      return;
    TPersistent::Assign(Source);
  }
};

// PLACEHOLDER: the format-neutral container every tagged input fills.
class TCommonTags : public TAuTags {
 public:
  std::string ClassName() const override { return "TCommonTags"; }
};

class TId3v1Tags : public TAuTags {
 public:
  std::string ClassName() const override { return "TId3v1Tags"; }
};

class TId3v2Tags : public TAuTags {
 public:
  std::string ClassName() const override { return "TId3v2Tags"; }
};

class TAPEv2Tags : public TAuTags {
 public:
  std::string ClassName() const override { return "TAPEv2Tags"; }
};

}  // namespace tunevert
