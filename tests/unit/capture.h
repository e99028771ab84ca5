// What a writer puts into a stream, as a string: the unit tests' way of
// reading output that goes to a FILE *.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

template <typename Write>
std::string capture(Write write)
{
	char *buffer = nullptr;
	size_t size = 0;
	FILE *stream = open_memstream(&buffer, &size);
	write(stream);
	fclose(stream);
	std::string out(buffer, size);
	free(buffer);
	return out;
}
