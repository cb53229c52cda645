#pragma once
// Applies the server's deletion list "updater/delete_config.txt" once per time
// stamp, remembering what was done in "updater/file_delete_record.txt".

#include <string>

// False when the record could not be written (logged with the system's reason):
// the deletions stand, but the list must not count as done, or a later list
// would delete again what has been installed since.
bool deleteObsoleteFiles();
// The same for a list received elsewhere (the update check keeps a newly
// received list beside the old one until its deletions are done).
bool deleteObsoleteFiles(const std::wstring& listPath);
