# A box package loaded by a Python other than the one it was built for says which two they
# are, instead of the bare "No module named ..." of the missing compiled module.
import importlib
import os
import shutil
import sys
import tempfile
import unittest


def installed_package(name):
    for folder in sys.path:
        path = os.path.join(folder, name, '__init__.py')
        if os.path.isfile(path):
            return path
    raise unittest.SkipTest('the bridge packages are not built')


class PackagePython(unittest.TestCase):
    def load_copy(self, built_for):
        """The feedhub package without its compiled module, built for `built_for`."""
        with open(installed_package('feedhub')) as f:
            text = f.read()
        text = text.replace('BUILT_FOR = (%d, %d)' % sys.version_info[:2],
                            'BUILT_FOR = %r' % (built_for,))
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        os.makedirs(os.path.join(folder, 'boxcopy'))
        with open(os.path.join(folder, 'boxcopy', '__init__.py'), 'w') as f:
            f.write(text.replace('._feedhub', '._feedhub_missing'))
        sys.path.insert(0, folder)
        self.addCleanup(sys.path.remove, folder)
        sys.modules.pop('boxcopy', None)
        return importlib.import_module('boxcopy')

    def test_another_python_is_named_with_the_one_built_for(self):
        with self.assertRaises(ImportError) as caught:
            self.load_copy((2, 7))
        message = str(caught.exception)
        self.assertIn("built for Python 2.7", message)
        self.assertIn("this Klipper runs Python %d.%d (%s)" % (sys.version_info[:2] +
                                                             (sys.executable,)), message)

    def test_the_same_python_keeps_the_original_error(self):
        with self.assertRaises(ImportError) as caught:
            self.load_copy(tuple(sys.version_info[:2]))
        self.assertIn('_feedhub_missing', str(caught.exception))


if __name__ == '__main__':
    unittest.main()
