// The subcommands of fwkit, one function each: argv[0] is the subcommand's name.
#pragma once

namespace Cli {

int Pack(int argc, char** argv);
int Join(int argc, char** argv);
int List(int argc, char** argv);
int Extract(int argc, char** argv);
int Stamp(int argc, char** argv);
int Sign(int argc, char** argv);
int Check(int argc, char** argv);
int Keygen(int argc, char** argv);
int Delta(int argc, char** argv);
int Sbom(int argc, char** argv);
int Install(int argc, char** argv);
int Status(int argc, char** argv);
int MarkGood(int argc, char** argv);
int MarkBad(int argc, char** argv);
int MarkActive(int argc, char** argv);

}  // namespace Cli
