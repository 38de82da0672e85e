// Finding the asset specification of a KUID, loading it from its asset folder when no live one
// exists, and the cache of how the daemon resolved each KUID asked for.
#pragma once

#include "core/kuid.h"
#include "pymclient/spec_registry.h"
#include "qel/file_path.h"
#include "qel/pstring.h"

class Soup;

// Accepts or refuses a found or loaded asset specification.
using SpecPredicate = bool (*)(const KoolthingzSpec& spec);

// The usable asset specification of the KUID into `out`, found live or loaded from the folder that
// the daemon names (requests 0x1A and 0x17); `out` is empty for the null KUID, for a KUID without
// an asset folder or whose asset specification is invalid (both remembered until the asset is
// committed, deleted or installed, so later lookups ask nothing), and when the predicate (may be
// null) refuses it. A request that fails is not remembered.
void FindAssetSpec(SpecPointer& out, const KUID& kuid, SpecPredicate predicate);
// FindAssetSpec that accepts only a KestroBaseSpec; stamps what it finds.
void FindKestroBaseSpec(SpecPointer& out, const KUID& kuid);
// Builds and registers the asset specification of the asset folder (its "config.chump", else its
// "config.txt") into `out`. Empty without a configuration or a registry, when the predicate
// refuses the asset specification and, unless `skipInitialise`, when the asset specification is not
// usable. A caller that has just read that configuration passes it as `config` (not null), so
// the file is not read again.
void LoadAssetSpec(SpecPointer& out, const Qel::File::Path& folder,
                   const Qel::PString& contentFolder, SpecPredicate predicate, bool skipInitialise,
                   const Soup* config = nullptr);
// The folder's "config.chump" when that file exists, else its "config.txt".
Qel::File::Path GetAssetConfigPath(const Qel::File::Path& folder);

// Forgets every cached resolution of the KUID and every one that led to it. The cache does this
// itself for the assets that PymNotifyAssetChanged names (all of them for the null KUID).
void ForgetSpecResolutions(const KUID& kuid);
// Forgets them all.
void ClearSpecResolutions();
