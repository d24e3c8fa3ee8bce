# Runs the Orca installed here under a process name of its own: Orca names
# itself "orca" and refuses to start while another "orca" of the same user
# runs, so a screen reader someone else runs on this machine would stop the
# test (and "orca --replace" would kill theirs). Nothing else of Orca changes.
import sys
source = open('/usr/bin/orca').read()
source = source.replace("setProcessName('orca')", "setProcessName('duplon-orca')")
source = source.replace("if otherOrcas():", "if False:")
sys.argv[0] = '/usr/bin/orca'
exec(compile(source, '/usr/bin/orca', 'exec'), {'__name__': '__main__'})
