"""The verdict of ostrevin-judge: runs the suite's programs on a platform and
says, in words, which promise of the platform's unwinder each deviation
breaks."""
