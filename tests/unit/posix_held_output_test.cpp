// The room held standard output reports (console_held_room()): text that long, of the kind that
// grows most in its conversion, goes in without a write(2), so the session log, written out before
// the screen, is never overtaken by it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "held_output.h"
#include "platform.h"

namespace {

TEST(HeldOutput, RoomGoesInWithoutAWrite) {
    // (converts to UTF-8, ASCII bytes held before, a GBK lead byte carried from the last write)
    struct row {
        bool convert;
        std::size_t before;
        bool lead;
    };
    const row rows[] = {
        {false, 0, false},  {false, 5000, false}, {true, 0, false},
        {true, 3001, true}, {true, 5000, true},
    };
    int screen[2];
    ASSERT_EQ(pipe2(screen, O_NONBLOCK), 0);
    held_stdout.fd = screen[1];
    char shown[65536];
    for (std::size_t index = 0; index < std::size(rows); ++index) {
        const row& r = rows[index];
        SCOPED_TRACE(testing::Message() << "row " << index);
        held_stdout.convert = r.convert;
        std::string before(r.before, 'a');
        if (r.lead) {
            before += '\xc4';
        }
        ASSERT_TRUE(output_stream_add(
            &held_stdout, reinterpret_cast<const unsigned char*>(before.data()), before.size()));
        ASSERT_EQ(read(screen[0], shown, sizeof shown), -1) << "the text before written out";
        const std::size_t room = console_held_room();
        // GBK pairs, 3 bytes each in UTF-8, the carried lead's trail first, to the room's last
        // byte.
        std::string text = r.lead ? "\xe3" : "";
        while (text.size() + 2 <= room) {
            text += "\xc4\xe3";
        }
        text.resize(room, 'a');
        ASSERT_TRUE(output_stream_add(
            &held_stdout, reinterpret_cast<const unsigned char*>(text.data()), text.size()));
        EXPECT_EQ(read(screen[0], shown, sizeof shown), -1) << room << " bytes of room overflowed";
        console_flush();
        EXPECT_GT(read(screen[0], shown, sizeof shown), 0) << "written out at the flush";
    }
    close(screen[0]);
    close(screen[1]);
}

}  // namespace
