// Salt characters for zat_pwd's generated salts.
#ifndef ZAT_PWD_SALT_H
#define ZAT_PWD_SALT_H

// Turns the low 7 bits of a value from random() into one of the 64
// characters that crypt accepts in a salt: '.', '/', '0'-'9', 'A'-'Z',
// 'a'-'z'.  The mapping folds the 128 values onto those 64 characters
// unevenly, so some characters come up more often than others.
char salt_char(long value);

#endif
