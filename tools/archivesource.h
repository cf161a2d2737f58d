// An archive source: a gzip'd tar's members gathered for the payload.
#ifndef SONARIS_PACK_ARCHIVESOURCE_H
#define SONARIS_PACK_ARCHIVESOURCE_H

#include "tools/member.h"
#include "tools/treecheck.h"

#include <cstdio>
#include <string>
#include <vector>

// The archive's members, with their content spooled to `spool` so that they can be written in
// the payload's order, and the directories it leaves implicit. What cannot be packed is told to
// `check` and left out.
std::vector<Member> CollectArchive(const std::string &source, std::FILE *spool, TreeCheck &check);

#endif
