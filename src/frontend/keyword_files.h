// Keyword files: a text soup whose every tag is named by an asset's KUID and holds the asset's
// keywords as the database gives them.
#pragma once

#include "qel/string.h"

class ResultsLog;

// Writes the keywords of every asset of the database (in the order of the search reply) to the
// file; the volume, file name and form go to Soup::SaveFile unchanged. False, with the old file
// left as it was, when the file is one the installation runs on (a program or library of the
// program folder, the daemon's database, settings, lock or log), the database cannot be read
// whole or the file cannot be written; `log` gets the reason, or on success what was written
// where.
bool BackupKeywords(const char* volume, const char* fileName, const char* form, ResultsLog* log);
// Hands the keywords of each tag of the file to the database; tag names are read with the
// lenient KUID parser, and a tag that names no asset of the database is a warning in `log`.
// False when the file cannot be loaded or the daemon did not take the keywords (`log` says
// which); true only once the daemon has applied them all, with the count in `log`.
bool ImportKeywords(const char* volume, const char* fileName, const char* form, ResultsLog* log);
