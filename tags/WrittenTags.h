#pragma once

#include <map>
#include <string>
#include <vector>

#include "tags/TagLibMeta.h"

namespace tunevert {

// How the tags handed to an output of Format (a tag layout: ".mp3", ".m4a"...) come back
// when the written file is read, for checking one against the other.

// The fields as Format stores them: joined where it keeps one value, without what it has no
// place for, in the form it gives back ("03" as "3" where it stores numbers).
std::map<std::string, std::vector<std::string>> StoredFields(const TCarriedTags& Tags,
                                                             const std::string& Format);
// The pictures as Format stores them, sorted.
std::vector<TCarriedPicture> StoredPictures(std::vector<TCarriedPicture> List,
                                            const std::string& Format);
// Whether the values read back are those written, as Format gives them back.
bool SameStoredValues(const std::string& Key, const std::vector<std::string>& Written,
                      const std::vector<std::string>& Read, const std::string& Format);
// Fields the output itself writes beside those it is handed.
std::vector<std::string> FieldsOutputsAdd(const std::string& Format);

}  // namespace tunevert
