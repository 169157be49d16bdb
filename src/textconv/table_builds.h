// The table built on first use, by the conversions that read it (gbk_tables.cpp): the program
// needs gbk_to_unicode only where its console shows UTF-8 or it keeps a log, so elsewhere it costs
// no memory. The call builds it once, safely when two threads arrive at once, and returns at once
// afterwards.
//
//   gbk_to_unicode_ready()  gbk_to_unicode, for gbk_to_utf8(), gbk_to_utf8_complete() and the
//                           normalisers' tables.
#pragma once

void gbk_to_unicode_ready();
