// SPDX-License-Identifier: MIT
// What the C library's stdio holds of a stream, read and changed from
// outside it.

#include "stream.h"

#if !defined(__GLIBC__)
#include <stdio_ext.h>
#endif

const char *
ahead(FILE *f, size_t *n)
{
#if defined(__GLIBC__)
	*n = static_cast<size_t>(f->_IO_read_end - f->_IO_read_ptr);
	return f->_IO_read_ptr;
#else
	const char *p = __freadptr(f, n);
	if (p == nullptr)
		*n = 0;
	return p;
#endif
}

void
take(FILE *f, size_t n)
{
#if defined(__GLIBC__)
	f->_IO_read_ptr += n;
#else
	__freadptrinc(f, n);
#endif
}

// What stdio holds behind the bytes ahead() sees. glibc keeps a byte
// pushed back with ungetc(), other than the one just read, in a backup
// area of its own, and sets the rest of its buffer aside until that is
// read: _IO_save_base to _IO_save_end, while the stream's flags have
// _IO_IN_BACKUP, which libio.h gave until glibc 2.28 hid it. musl pushes
// a byte back into the buffer itself, where ahead() sees it.
size_t
set_aside(FILE *f)
{
#if defined(__GLIBC__)
	constexpr int in_backup = 0x100;	// _IO_IN_BACKUP
	if (f->_flags & in_backup)
		return static_cast<size_t>(f->_IO_save_end - f->_IO_save_base);
#else
	(void)f;
#endif
	return 0;
}

// Not the stream's own: a failed wait is no stdio read.
void
set_error(FILE *f)
{
#if defined(__GLIBC__)
	f->_flags |= _IO_ERR_SEEN;
#else
	__fseterr(f);
#endif
}
