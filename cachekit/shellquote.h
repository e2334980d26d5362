// Quoting of file names and URLs for the system shell.
#pragma once
