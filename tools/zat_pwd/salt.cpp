#include "tools/zat_pwd/salt.h"

char salt_char(long value)
{
    int v = (int)(value & 0x7f);

    if (v < '.')                    // control characters, blank to '-'
        v += '.';
    if (v >= ':' && v <= '@')       // ':' to '@' move up into 'A' to 'G'
        v += 7;
    if (v >= '[' && v <= '`')       // '[' to '`' move up into 'a' to 'f'
        v += 6;
    if (v >= '{')                   // '{' to DEL move down into 'v' to 'z'
        v -= 5;
    return (char)v;
}
