// Reading a tag file's content as a value.
#ifndef TAGSIM_TAG_VALUE_H
#define TAGSIM_TAG_VALUE_H

#include <cstddef>

// True when the whole content, white space around it allowed, is one number
// as strtod reads it and within range; the number is then stored in *value.
bool parse_tag_value(const char *content, std::size_t length, double *value);

#endif
