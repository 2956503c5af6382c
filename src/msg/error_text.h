// strerror's buffer is shared between threads; this returns the text by value.
#pragma once

struct ErrorText {
    char text[128];
};

// Use as error_text(errno).text inside one expression.
ErrorText error_text(int error);
