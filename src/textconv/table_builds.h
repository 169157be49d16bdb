// The tables built on first use, by the conversions that read them (gbk_tables.cpp): the program
// itself needs only unicode_to_gbk, built by code_tables_init() at start, and gbk_to_unicode where
// its console shows UTF-8, so the rest costs no memory until something uses it. Each call builds
// its tables once, safely when two threads arrive at once, and returns at once afterwards.
//
//   gbk_to_unicode_ready()     gbk_to_unicode, for gbk_to_utf8() and gbk_to_utf8_complete().
//   normalizer_tables_ready()  the case, identity and variant maps of the normalisers.
#pragma once

void gbk_to_unicode_ready();
void normalizer_tables_ready();
