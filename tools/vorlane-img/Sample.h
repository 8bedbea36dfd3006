// `vorlane-img sample`: makes a complete, realistic sample image.
#pragma once

// argv[0] is "sample"; returns the process exit status.
int SampleMain(int argc, char** argv);
