#pragma once
// Applies the server's deletion list "updater/delete_config.txt" once per time
// stamp, remembering what was done in "updater/file_delete_record.txt".

#include <string>

void deleteObsoleteFiles();
// The same for a list received elsewhere (the update check keeps a newly
// received list beside the old one until its deletions are done).
void deleteObsoleteFiles(const std::wstring& listPath);
