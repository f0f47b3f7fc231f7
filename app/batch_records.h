// What the batch mode keeps beside its outputs so that reruns and several instances
// converge: a record on each output naming the input it was made from, and a claim
// per input while an instance converts it.
//
// The record is a user extended attribute on the output (it travels with renames and
// links); where the file system keeps none, a line in ".quilllomare-journal" in the
// output's folder. A claim is a file ".quilllomare-claim-HASH" created exclusively in
// the output's folder (exclusive creation holds on NFS too), naming its host and
// process; a claim whose process is gone, or, from another host, one not renewed for
// a while, is taken over.
#pragma once

#include <string>

// The conversion outputs are recorded under: the mode and the format, set once the
// run's choices are made (in the parent and in every worker alike).
void SetConversionKey(const std::string& key);

// Puts the record on an output that is complete but not yet named (writePath is where
// its writer wrote it, finalPath the name it is to get). Where the file system refuses
// it, the journal gets a line for finalPath before the output is moved there, so no
// output is ever named without its record; RecordNamedOutput adds one for the name
// it got instead when that was taken meanwhile.
void RecordOutput(const std::string& inputPath, const std::string& writePath, const std::string& finalPath);
void RecordNamedOutput(const std::string& inputPath, const std::string& finalPath);

// Whether path is an output this program made (from any input, in any mode).
bool IsOwnOutput(const std::string& path);

// Whether an output made from the input as it is now, in this mode and format, exists
// where its outputs go (the output folder rule applies).
bool InputConverted(const std::string& inputPath);

// Claims the input for this process; false while another live instance holds it.
// A folder where no claim can be made claims nothing and returns true.
bool ClaimInput(const std::string& inputPath);
// Gives up the claim, if held. ReleaseAllInputs: every claim held.
void ReleaseInput(const std::string& inputPath);
void ReleaseAllInputs();
// Renews the claims held, so that other hosts see them alive. Called now and then.
void RenewInputClaims();
