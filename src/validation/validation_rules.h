// The two tables that map rule names of a definition's "validation" list to rule functions: one
// for value tags, one for containers. A name that neither table holds attaches nothing.
#pragma once

#include <span>

#include "assetdata/soup.h"
#include "qel/pstring.h"

namespace TETLib {

class Container;
class Tag;

// Each gets the tag or container and its parameter soup (the rule's own entry of the definition's
// "validation"), reports its findings and says whether the check passed.
using TagRuleFunction = bool (*)(Tag*, Soup*);
using ContainerRuleFunction = bool (*)(Container*, Soup*);

struct TagRule {
  const Qel::PString* name;
  TagRuleFunction function;
};

struct ContainerRule {
  const Qel::PString* name;
  ContainerRuleFunction function;
};

std::span<const TagRule> TagRuleTable();
std::span<const ContainerRule> ContainerRuleTable();

// The function of a rule name (compared by interned identity); null when the table lacks it.
TagRuleFunction FindTagRule(const Qel::PString& name);
ContainerRuleFunction FindContainerRule(const Qel::PString& name);

}  // namespace TETLib
