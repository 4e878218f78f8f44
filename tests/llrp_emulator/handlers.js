'use strict';
// What the emulated reader does with each client message. A handler gets the
// decoded message data (and the decoded message, for wire order) and returns
// the data of the response, or nothing for messages without one.

const {emulator, default_config, status, as_list} = require('./emulator');

function ok() {
  return {LLRPStatus: status()};
}

function field_error(description) {
  return {LLRPStatus: status('M_FieldError', description)};
}

function capabilities(em, requested) {
  const all = requested === 'All';
  const r = {LLRPStatus: status()};
  if (all || requested === 'General_Device_Capabilities') {
    const per_antenna = [];
    for (let id = 1; id <= em.antennas; id++) {
      per_antenna.push({AntennaID: id, ProtocolID: em.gen2 ? ['EPCGlobalClass1Gen2'] : []});
    }
    r.GeneralDeviceCapabilities = {
      MaxNumberOfAntennaSupported: em.antennas,
      CanSetAntennaProperties: 0,
      HasUTCClockCapability: em.clock_mode() === 'uptime' ? 0 : 1,
      DeviceManufacturerName: 0,
      ModelName: 1,
      ReaderFirmwareVersion: 'emulator 1',
      ReceiveSensitivityTableEntry: [{Index: 1, ReceiveSensitivityValue: 0}],
      GPIOCapabilities: {NumGPIs: 0, NumGPOs: 0},
      PerAntennaAirProtocol: per_antenna,
    };
  }
  if (all || requested === 'LLRP_Capabilities') {
    r.LLRPCapabilities = {
      CanDoRFSurvey: 0, CanReportBufferFillWarning: 0, SupportsClientRequestOpSpec: 0,
      CanDoTagInventoryStateAwareSingulation: 0, SupportsEventAndReportHolding: 0,
      MaxNumPriorityLevelsSupported: 1, ClientRequestOpSpecTimeout: 0,
      MaxNumROSpecs: em.faults.leftover_specs ? 1 : 0, MaxNumSpecsPerROSpec: 0, MaxNumInventoryParameterSpecsPerAISpec: 0,
      MaxNumAccessSpecs: 0, MaxNumOpSpecsPerAccessSpec: 0,
    };
  }
  if (all || requested === 'Regulatory_Capabilities') {
    const band = {
      TransmitPowerLevelTableEntry: [{Index: 1, TransmitPowerValue: 3000}],
      FrequencyInformation: {Hopping: 0, FixedFrequencyTable: {Frequency: [866900]}},
    };
    band.C1G2UHFRFModeTable = {
      C1G2UHFRFModeTableEntry: [{
        ModeIdentifier: 0, DRValue: 'DRV_8', EPCHAGTCConformance: 0, MValue: 'MV_FM0',
        ForwardLinkModulation: 'PR_ASK', SpectralMaskIndicator: 'Unknown', BDRValue: 40000,
        PIEValue: 1500, MinTariValue: 25000, MaxTariValue: 25000, StepTariValue: 0,
      }],
    };
    // The UHF band capabilities need an air protocol mode table; a reader
    // without Gen2 has none to give.
    r.RegulatoryCapabilities = {CountryCode: 276, CommunicationsStandard: 'ETSI_302_208'};
    if (em.gen2) r.RegulatoryCapabilities.UHFBandCapabilities = band;
  }
  if ((all || requested === 'LLRP_Air_Protocol_Capabilities') && em.gen2) {
    r.C1G2LLRPCapabilities = {
      CanSupportBlockErase: 0, CanSupportBlockWrite: 0, MaxNumSelectFiltersPerQuery: 2,
    };
  }
  return r;
}

// Checks an ROSpec the client wants to add; returns an error text or null.
function check_rospec(em, ro) {
  if (!ro.ROSpecID) return 'ROSpecID 0 is reserved';
  if (em.rospecs.has(ro.ROSpecID)) return `ROSpec ${ro.ROSpecID} exists already`;
  if (ro.CurrentState !== 'Disabled') return 'a new ROSpec must be Disabled';
  if (em.faults.leftover_specs && em.rospecs.size >= 1) return 'the reader holds one ROSpec at most';
  // This reader has no GPIs and no clock schedule: it starts ROSpecs when
  // asked or when they are enabled, and stops them when asked or after a
  // duration.
  const boundary = ro.ROBoundarySpec || {};
  const start = (boundary.ROSpecStartTrigger || {}).ROSpecStartTriggerType;
  const stop = (boundary.ROSpecStopTrigger || {}).ROSpecStopTriggerType;
  if (!['Null', 'Immediate'].includes(start)) return `start trigger ${start} is not supported`;
  if (!['Null', 'Duration'].includes(stop)) return `stop trigger ${stop} is not supported`;
  const ai = as_list(ro.AISpec);
  if (ai.length === 0) return 'only AISpecs are supported';
  for (const a of ai) {
    for (const id of as_list(a.AntennaIDs)) {
      if (id > em.antennas) return `antenna ${id} does not exist (${em.antennas} antennas)`;
    }
    for (const ips of as_list(a.InventoryParameterSpec)) {
      if (ips.ProtocolID !== 'EPCGlobalClass1Gen2' || !em.gen2) {
        return `air protocol ${ips.ProtocolID} is not supported`;
      }
    }
  }
  return null;
}

function unknown_rospec(id) {
  return field_error(`no ROSpec with id ${id}`);
}

function activate(em, rospec) {
  rospec.state = 'Active';
  rospec.last_round = null;
  rospec.pending = new Map();
  if (rospec.duration_ms) {
    clearTimeout(rospec.stop_timer);
    rospec.stop_timer = setTimeout(() => {
      if (em.rospecs.get(rospec.id) === rospec && rospec.state === 'Active') deactivate(em, rospec);
    }, rospec.duration_ms);
  }
}

// Stops a running ROSpec; what it saw since the last report is reported.
function deactivate(em, rospec) {
  clearTimeout(rospec.stop_timer);
  if (rospec.pending.size && em.selector_of(rospec).ROReportTrigger !== 'None') {
    em.flush_report(rospec);
  }
  rospec.state = 'Inactive';
}

const handlers = {
  GET_READER_CAPABILITIES(data) {
    return capabilities(this, data.RequestedData);
  },

  GET_READER_CONFIG() {
    const c = this.config;
    return {
      LLRPStatus: status(),
      ROReportSpec: c.ro_report_spec,
      AccessReportSpec: {AccessReportTrigger: c.access_report_trigger},
      KeepaliveSpec: {
        KeepaliveTriggerType: c.keepalive_ms ? 'Periodic' : 'Null',
        PeriodicTriggerValue: c.keepalive_ms,
      },
      EventsAndReports: {HoldEventsAndReportsUponReconnect: c.hold_events_and_reports},
    };
  },

  SET_READER_CONFIG(data) {
    const ka = data.KeepaliveSpec;
    if (ka && ka.KeepaliveTriggerType === 'Periodic' && !ka.PeriodicTriggerValue) {
      return field_error('a periodic keepalive needs a period');
    }
    let session = null;
    for (const ac of as_list(data.AntennaConfiguration)) {
      if (ac.AntennaID > this.antennas) return field_error(`antenna ${ac.AntennaID} does not exist`);
      for (const command of as_list(ac.C1G2InventoryCommand)) {
        if (command.C1G2SingulationControl) session = command.C1G2SingulationControl.Session;
      }
    }
    if (data.ResetToFactoryDefault) {
      this.config = default_config();
      // Readers differ in what a reset clears: with leftover_specs the
      // specs stay; with hold_reports the hold is the factory setting.
      if (!this.faults.leftover_specs) {
        this.rospecs.clear();
        this.accessspecs.clear();
      }
      if (this.faults.hold_reports) this.config.hold_events_and_reports = 1;
    }
    if (session !== null) this.config.session = session;
    if (data.ROReportSpec) this.config.ro_report_spec = data.ROReportSpec;
    if (data.AccessReportSpec) {
      this.config.access_report_trigger = data.AccessReportSpec.AccessReportTrigger;
    }
    if (data.EventsAndReports) {
      this.config.hold_events_and_reports =
          data.EventsAndReports.HoldEventsAndReportsUponReconnect;
    }
    if (ka) {
      this.config.keepalive_ms = ka.KeepaliveTriggerType === 'Periodic' ?
          ka.PeriodicTriggerValue : 0;
      // A reader with a period of its own takes the request but keeps it.
      if (this.faults.keepalive_period && this.config.keepalive_ms) {
        this.config.keepalive_ms = this.faults.keepalive_period.ms;
      }
    }
    if (ka || data.ResetToFactoryDefault) this.restart_keepalive();
    return ok();
  },

  ADD_ROSPEC(data) {
    const ro = data.ROSpec || {};
    const error = check_rospec(this, ro);
    if (error) return field_error(error);
    const antennas = [];
    let ips_id = 0;
    for (const a of as_list(ro.AISpec)) {
      antennas.push(...as_list(a.AntennaIDs));
      ips_id = ips_id || as_list(a.InventoryParameterSpec)[0].InventoryParameterSpecID;
    }
    const {ROSpecStartTrigger: start, ROSpecStopTrigger: stop} = ro.ROBoundarySpec;
    this.rospecs.set(ro.ROSpecID, {
      id: ro.ROSpecID,
      state: 'Disabled',
      antennas,
      inventory_parameter_spec_id: ips_id,
      immediate: start.ROSpecStartTriggerType === 'Immediate',
      duration_ms: stop.ROSpecStopTriggerType === 'Duration' ? stop.DurationTriggerValue : 0,
      stop_timer: null,
      report_spec: ro.ROReportSpec || null,
      pending: new Map(),
      last_round: null,
    });
    return ok();
  },

  ENABLE_ROSPEC(data) {
    const r = this.rospecs.get(data.ROSpecID);
    if (!r) return unknown_rospec(data.ROSpecID);
    if (r.state === 'Disabled') {
      r.state = 'Inactive';
      if (r.immediate) activate(this, r);
    }
    return ok();
  },

  DISABLE_ROSPEC(data) {
    const targets = data.ROSpecID === 0 ? [...this.rospecs.values()] :
        [this.rospecs.get(data.ROSpecID)];
    if (!targets[0] && data.ROSpecID !== 0) return unknown_rospec(data.ROSpecID);
    for (const r of targets) {
      clearTimeout(r.stop_timer);
      r.state = 'Disabled';
    }
    return ok();
  },

  START_ROSPEC(data) {
    const r = this.rospecs.get(data.ROSpecID);
    if (!r) return unknown_rospec(data.ROSpecID);
    if (r.state === 'Disabled') return field_error(`ROSpec ${r.id} is not enabled`);
    if (r.state === 'Active') return field_error(`ROSpec ${r.id} is running already`);
    activate(this, r);
    return ok();
  },

  STOP_ROSPEC(data) {
    const r = this.rospecs.get(data.ROSpecID);
    if (!r) return unknown_rospec(data.ROSpecID);
    if (r.state !== 'Active') return field_error(`ROSpec ${r.id} is not running`);
    deactivate(this, r);
    return ok();
  },

  DELETE_ROSPEC(data) {
    if (data.ROSpecID === 0) {
      this.rospecs.clear();
    } else if (!this.rospecs.delete(data.ROSpecID)) {
      return unknown_rospec(data.ROSpecID);
    }
    return ok();
  },

  ADD_ACCESSSPEC(data, msg) {
    const access = data.AccessSpec || {};
    if (!access.AccessSpecID) return field_error('AccessSpecID 0 is reserved');
    if (this.accessspecs.has(access.AccessSpecID)) {
      return field_error(`AccessSpec ${access.AccessSpecID} exists already`);
    }
    if (access.CurrentState !== 'Disabled') return field_error('a new AccessSpec must be Disabled');
    if (access.ProtocolID !== 'EPCGlobalClass1Gen2' || !this.gen2) {
      return field_error(`air protocol ${access.ProtocolID} is not supported`);
    }
    if (access.AntennaID > this.antennas) return field_error(`antenna ${access.AntennaID} does not exist`);
    // The OpSpecs run in the order they came on the wire.
    const access_element = [...msg.origin.subElementList].find((e) => e.getName() === 'AccessSpec');
    const command = [...access_element.subElementList].find((e) => e.getName() === 'AccessCommand');
    if (!command) return {LLRPStatus: status('M_MissingParameter', 'no AccessCommand')};
    let targets = [];
    const ops = [];
    for (const e of command.subElementList) {
      const name = e.getName();
      const op = e.getData();
      if (name === 'C1G2TagSpec') {
        targets = as_list(op.C1G2TargetTag);
      } else if (['C1G2Write', 'C1G2Read', 'C1G2Lock'].includes(name)) {
        if (name === 'C1G2Write' && (op.WriteData || '').length % 4) {
          return field_error('WriteData must be whole words');
        }
        ops.push([name, op]);
      } else {
        return {LLRPStatus: status('M_UnsupportedParameter', `${name} is not supported`)};
      }
    }
    if (ops.length === 0) return {LLRPStatus: status('M_MissingParameter', 'no OpSpec')};
    const stop = access.AccessSpecStopTrigger || {};
    const count = stop.AccessSpecStopTrigger === 'Operation_Count' && stop.OperationCountValue ?
        stop.OperationCountValue : Infinity;
    this.accessspecs.set(access.AccessSpecID, {
      id: access.AccessSpecID,
      state: 'Disabled',
      antenna: access.AntennaID || 0,
      rospec_id: access.ROSpecID || 0,
      targets,
      ops,
      operations_left: count,
    });
    return ok();
  },

  ENABLE_ACCESSSPEC(data) {
    const a = this.accessspecs.get(data.AccessSpecID);
    if (!a) return field_error(`no AccessSpec with id ${data.AccessSpecID}`);
    a.state = 'Active';
    return ok();
  },

  DISABLE_ACCESSSPEC(data) {
    const targets = data.AccessSpecID === 0 ? [...this.accessspecs.values()] :
        [this.accessspecs.get(data.AccessSpecID)];
    if (!targets[0] && data.AccessSpecID !== 0) {
      return field_error(`no AccessSpec with id ${data.AccessSpecID}`);
    }
    for (const a of targets) a.state = 'Disabled';
    return ok();
  },

  DELETE_ACCESSSPEC(data) {
    if (data.AccessSpecID === 0) {
      this.accessspecs.clear();
    } else if (!this.accessspecs.delete(data.AccessSpecID)) {
      return field_error(`no AccessSpec with id ${data.AccessSpecID}`);
    }
    return ok();
  },

  GET_REPORT() {
    for (const r of this.rospecs.values()) {
      if (r.pending.size) this.flush_report(r);
    }
  },

  ENABLE_EVENTS_AND_REPORTS() {
    this.release_held();
  },

  KEEPALIVE_ACK() {},

  CLOSE_CONNECTION() {
    return ok();
  },
};

emulator.prototype.handlers = handlers;
