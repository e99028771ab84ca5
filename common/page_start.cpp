// What the pages of both programs share before their own text: the start
// of the head, and the name a repository is shown under.
#include "output.h"

#include <cstdlib>
#include <cstring>
#include <err.h>

void write_head_start(FILE *stream)
{
	fputs("<!DOCTYPE html>\n<html>\n<head>\n"
	      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\" />\n"
	      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\" />\n"
	      "<title>", stream);
}

char *repository_short_name(const char *name)
{
	char *short_name = strdup(name);
	if (!short_name)
		err(1, "strdup");
	char *dot = strrchr(short_name, '.');
	if (dot && strcmp(dot, ".git") == 0)
		*dot = '\0';
	return short_name;
}
