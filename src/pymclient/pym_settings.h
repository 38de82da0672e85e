// The daemon's settings soups: named groups that the tool reads or replaces whole, or reads one
// value of.
#pragma once

#include "assetdata/soup.h"
#include "qel/pstring.h"

class ResultsLog;
class TStream;

// The group's soup; the empty soup when the request fails.
Soup PymGetSettingsSoup(const Qel::PString& group);
// Replaces the group; an empty soup handle is sent as an empty binary soup. True when the daemon
// stored it; why it did not goes to `log`.
bool PymSetSettingsSoup(const Qel::PString& group, const Soup& soup, ResultsLog* log = nullptr);
// Replaces the group by an empty soup.
bool PymSetEmptySettingsSoup(const Qel::PString& group);
// One value of a group; the empty name when the request fails or the value is empty.
Qel::PString PymGetSettingString(const Qel::PString& group, const Qel::PString& key);

// Request payloads and reply readers, apart from the connection.
void WriteGetSettingsSoupRequest(TStream& out, const Qel::PString& group);
// A null soup, the shared null node and a root of kind 0 all go out as an empty soup's header.
void WriteSetSettingsSoupRequest(TStream& out, const Qel::PString& group, const Soup& soup);
void WriteGetSettingStringRequest(TStream& out, const Qel::PString& group, const Qel::PString& key);
// From the reply's current position; the empty soup for a reply that is not a whole soup.
Soup ReadSettingsSoupReply(TStream& reply);
// The empty name for a reply that ends early or holds an over-long text.
Qel::PString ReadSettingStringReply(TStream& reply);
