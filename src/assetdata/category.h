// Category lists and category expressions.
//
// A category list is entries joined by ';' ("TR;TV;LOC;ELEC"), compared byte for byte; a search
// of it stops at the first '|'. An expression is alternatives joined by '|' (OR), each a run of
// terms joined by ';' (AND); a leading '-' negates a term, and each further '-' negates again.
#pragma once

#include "qel/pstring.h"
#include "qel/string.h"

// Whether the term (up to its ';', '|' or end, after any '-' signs) is an entry of the list.
// False for a null list or term and for an empty term.
bool MatchCategoryTerm(const char* list, const char* term);

// Whether the category list satisfies the expression. A null or empty expression holds for any
// list; otherwise a null list fails. Safe to call from any thread.
bool MatchCategoryExpression(const char* categories, const char* expression);

// The text up to its first ';', '|' or end; empty for null.
Qel::String ReadCategoryToken(const char* text);
// Appends the first token of the text, after a ';' when the list is not empty. Does nothing for a
// null or empty text or one that starts with ';' or '|'.
void AppendCategoryToken(Qel::String& list, const char* text);
// `out` becomes `base` followed by "#<token>" for every token of `categories` that `out` lacks.
void AppendCategoryHashTags(Qel::String& out, const Qel::String& base,
                            const Qel::String& categories);

// The category list of an asset kind with its type words (both case-insensitive); empty when no
// row of the kind table fits.
Qel::String KindToCategories(Qel::PString kind, Qel::PString type);
// The category list of a legacy category-class code for a kind (empty or null for any kind);
// empty when no row fits.
Qel::String CategoryClassToCategories(const char* kind, const Qel::String& code);
