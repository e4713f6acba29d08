// Naming, in a message, a character that is not printable ASCII: the operator cannot see an en dash
// or a no-break space in a spreadsheet cell, but can search for its name.
#pragma once

#include <string>
#include <string_view>

// How a message names the character that starts `text` (not empty): "U+2013 EN DASH" for the
// characters that spreadsheets and keyboards slip into values unseen (dashes, curly quotes, spaces
// other than the plain one, zero-width characters, the byte-order mark, the ellipsis, the control
// characters a cell can hold), "U+00FC" for any other UTF-8 character, "0xE9 (not UTF-8)" for a
// byte that begins no well-formed UTF-8 sequence.
std::string character_name(std::string_view text);
