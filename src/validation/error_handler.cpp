#include "validation/error_handler.h"

#include <algorithm>

namespace TETLib {

namespace {

ErrorHandler* g_errorHandler = nullptr;

}  // namespace

bool ErrorHandler::CreateInstance() {
  if (g_errorHandler == nullptr) g_errorHandler = new ErrorHandler();
  return true;
}

void ErrorHandler::DestroyInstance() {
  if (g_errorHandler == nullptr) return;
  g_errorHandler->ClearRecords();
  delete g_errorHandler;
  g_errorHandler = nullptr;
}

ErrorHandler* ErrorHandler::Instance() { return g_errorHandler; }

void ErrorHandler::ClearRecords() {
  records_.clear();
  byKey_.clear();
  byContainer_.clear();
  byTag_.clear();
  tagRecords_ = 0;
  containerRecords_ = 0;
  ownerFilter_.reset();
}

bool ErrorHandler::Add(const Qel::PString& key, u32 severity, Owner form,
                       const Container* container, const Tag* tag) {
  // A null owner of the form matches the records without one, as a held record's null does.
  const bool held = form == Owner::kNone        ? byKey_.contains(key)
                    : form == Owner::kContainer ? byContainer_.contains({key, container})
                                                : byTag_.contains({key, tag});
  if (held) return false;
  ++byKey_[key];
  ++byContainer_[{key, container}];
  ++byTag_[{key, tag}];
  auto record = std::make_unique<ErrorRecord>();
  record->container = container;
  record->tag = tag;
  record->key = key;
  record->severity = severity;
  records_.push_back(std::move(record));
  if (tag != nullptr) {
    ++tagRecords_;
    ownerFilter_.set(OwnerBit(tag));
  }
  if (container != nullptr) {
    ++containerRecords_;
    ownerFilter_.set(OwnerBit(container));
  }
  return true;
}

bool ErrorHandler::AddError(const Qel::PString& key, const Container* container) {
  return Add(key, ErrorRecord::kError, Owner::kContainer, container, nullptr);
}
bool ErrorHandler::AddError(const Qel::PString& key, const Tag* tag) {
  return Add(key, ErrorRecord::kError, Owner::kTag, nullptr, tag);
}
bool ErrorHandler::AddError(const Qel::PString& key) {
  return Add(key, ErrorRecord::kError, Owner::kNone, nullptr, nullptr);
}
bool ErrorHandler::AddWarning(const Qel::PString& key, const Container* container) {
  return Add(key, ErrorRecord::kWarning, Owner::kContainer, container, nullptr);
}
bool ErrorHandler::AddWarning(const Qel::PString& key, const Tag* tag) {
  return Add(key, ErrorRecord::kWarning, Owner::kTag, nullptr, tag);
}
bool ErrorHandler::AddWarning(const Qel::PString& key) {
  return Add(key, ErrorRecord::kWarning, Owner::kNone, nullptr, nullptr);
}
bool ErrorHandler::AddMessage(const Qel::PString& key, const Container* container) {
  return Add(key, ErrorRecord::kMessage, Owner::kContainer, container, nullptr);
}
bool ErrorHandler::AddMessage(const Qel::PString& key, const Tag* tag) {
  return Add(key, ErrorRecord::kMessage, Owner::kTag, nullptr, tag);
}
bool ErrorHandler::AddMessage(const Qel::PString& key) {
  return Add(key, ErrorRecord::kMessage, Owner::kNone, nullptr, nullptr);
}

bool ErrorHandler::TraceContainer(const Qel::PString& /*text*/, const void* /*object*/) {
  return true;
}
bool ErrorHandler::TraceTag(const Qel::PString& /*text*/, const void* /*object*/) { return true; }

bool ErrorHandler::IsKeyUnused(const Qel::PString& key) const { return !byKey_.contains(key); }

void ErrorHandler::Unindex(const ErrorRecord& record) {
  const auto drop = [](auto& index, const auto& at) {
    const auto found = index.find(at);
    if (--found->second == 0) index.erase(found);
  };
  drop(byKey_, record.key);
  drop(byContainer_, KeyOwner{record.key, record.container});
  drop(byTag_, KeyOwner{record.key, record.tag});
}

void ErrorHandler::RemoveTagRecord(const Tag* tag) {
  if (tag == nullptr || tagRecords_ == 0 || !ownerFilter_.test(OwnerBit(tag))) return;
  auto found = std::find_if(records_.begin(), records_.end(),
                            [&](const std::unique_ptr<ErrorRecord>& r) { return r->tag == tag; });
  if (found == records_.end()) return;
  Unindex(**found);
  records_.erase(found);
  --tagRecords_;
}

void ErrorHandler::RemoveContainerRecord(const Container* container) {
  if (container == nullptr || containerRecords_ == 0 || !ownerFilter_.test(OwnerBit(container))) {
    return;
  }
  auto found = std::find_if(
      records_.begin(), records_.end(),
      [&](const std::unique_ptr<ErrorRecord>& r) { return r->container == container; });
  if (found == records_.end()) return;
  Unindex(**found);
  records_.erase(found);
  --containerRecords_;
}

}  // namespace TETLib
