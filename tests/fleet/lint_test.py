"""The fleet recipe keeps to Ansible's conventions as ansible-lint knows
them (its settings: examples/fleet/.ansible-lint)."""

import os
import subprocess
import unittest

FLEET = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "fleet")


class AnsibleLint(unittest.TestCase):
    def test_role_and_playbook_pass(self):
        run = subprocess.run(["ansible-lint", "--nocolor"], cwd=FLEET, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, check=False)
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertIn("0 failure(s), 0 warning(s)", run.stdout)


if __name__ == "__main__":
    unittest.main()
