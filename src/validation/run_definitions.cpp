#include "validation/run_definitions.h"

namespace TETLib {

Soup RunDefinitions::Get(const Qel::PString& name) const {
  return Resolve(shared_.GetNamedSoup(name));
}

Soup RunDefinitions::Resolve(const Soup& definition) const {
  if (copies_.empty() || definition.IsNull()) return definition;
  const auto found = copies_.find(definition.GetRoot().Get());
  return found == copies_.end() ? definition : found->second.copy;
}

Soup RunDefinitions::Writable(const Soup& definition) {
  if (definition.IsNull()) return definition;
  const ACSChunk* node = definition.GetRoot().Get();
  if (own_.count(node) != 0) return definition;
  const auto found = copies_.find(node);
  if (found != copies_.end()) return found->second.copy;
  Copy entry{definition, Soup()};
  entry.copy.Copy(definition);
  own_.insert(entry.copy.GetRoot().Get());
  return copies_.emplace(node, std::move(entry)).first->second.copy;
}

}  // namespace TETLib
