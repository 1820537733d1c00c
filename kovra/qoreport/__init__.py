"""Stand-in for the framework's legacy report library, which is not shipped here.

A plain-Python substitute that offers what the XML generator calls: an object
tree built through factory methods (each ``add_...`` returns the new child,
already attached) and rendered as ``xml.etree.ElementTree`` elements.

    QOReport.runset                       RunSet (kovra.qoreport.runset)
      .jobexecution.add_testscript(ts, id)   TestScript (kovra.qoreport.testscript)
        ts.add_testsection(sectionid)          common setup / cleanup
          .add_commonsubsection(name)            .add_teststep(id, name)
        ts.add_testcase(tcid, logfilepath)
          .add_testsection(sectionid)            .add_teststep(id, name)
      steps nest: step.add_teststep(id, name)

Rendering rules. Every object and member object is an element, rendered even
when empty, so the shape of the document does not depend on what was set.
Short fields are attributes and are left out when None; free text
(descriptions, diagnostics, script parameters) goes into child elements,
left out when None. Times are ISO text, run times whole seconds, anything
else not a string is rendered with str(). Strings are passed on unchanged.
Children keep the order in which they were added.

Details document, ``QOReport().generate_dom()``::

    qoReport                                  (empty without a run set)
      runSet        starttime stoptime runtime archiveFilename
        initInfo    jobId name testbed release image submitter user
          params    cli
          kex       path version
          host*     text: host
        summary     result children (below)
        runInfo     diag* (text: one diagnostic each)
        vumb        item* (data, below): the test-management arguments
        jobExecution  starttime stoptime runtime
          testScript  id starttime stoptime runtime
            initInfo
              pargs?  description?
              logFile   filePath, then one attribute per logfile.attrs entry
              script    name path
            summary, runInfo
            testSection* / testCase*          in the order added
      testSection       sectionId starttime stoptime runtime
        xref (file line), logFile, result (value), runInfo, extra,
        then commonSubSection* / testStep*
      testCase          tcId starttime stoptime runtime
        initInfo        name swVersion hwVersion fwVersion tstVersion
          id            one attribute per id.attrs entry; text: idtypevalue
          description?  xref  logFile
        result, runInfo, extra, then testSection*
      commonSubSection  name starttime stoptime runtime
        id, description?, xref, logFile, result, runInfo, extra, then testStep*
      testStep          id name index continue starttime stoptime runtime
        description?, xref, logFile, result, runInfo, extra, then testStep*

Result children (``summary.generate_resultsonly_dom(parent)`` appends them to
``parent``): ``passed passx failed errored aborted blocked skipped`` in this
order, each with its count as text (0 when not counted), then
``otherResult name="..."`` for any other result name, then ``total`` and,
when the counter reported one, ``successRate``.

Nested data (``extra``, ``vumb``): one ``item`` per entry, the entry's key in
the attribute ``key`` (keys need not be XML names, nor strings). A mapping
value gets ``type="dict"`` and an item per entry; a list or tuple gets
``type="list"`` or ``type="tuple"`` and an item per element, without keys;
None gets ``type="none"`` and no text; any other value is its str() as text.

Summary document helpers: ``RunSet.generate_simple_elt_dom(parent, name)``
and ``initinfo.generate_simple_elt_dom(parent, name)`` append ``<name>`` with
the attribute's text (None gives an empty element); ``initinfo.hosts
.generate_dom(parent)`` appends one ``host`` element per host.

``logfile.attrs`` and ``id.attrs`` keys become attribute names, so they must
be XML names.
"""

from .runset import RunSet
from .testscript import TestScript
from .toplevel.qoreport_top import QOReport

__all__ = ["QOReport", "RunSet", "TestScript"]
