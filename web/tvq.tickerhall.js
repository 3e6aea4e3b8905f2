// The base sub-protocol client: tvqws(options or host[, name[, transport]]).
// It needs the generic script (tvqWebSockets.js) loaded before it.

function tvqws() {
  tvqProtocolInit(this, 'tvq.tickerhall', arguments, tvqProtocolEvents);
}

tvqProtocolDerive(tvqws, {
  // "params" travels as a JSON string.
  rpc: function (id, method, params) {
    this.sendtext('{"jsonrpc":"2.0", "method":' + tvqQuote(method) + ', "params":' + tvqQuote(params) + ', "id":' +
      tvqQuote(id) + '}');
  },
  notify: function (method) {
    this.sendtext('{"jsonrpc":"2.0", "method":' + tvqQuote(method) + ', "params":""}');
  }
}, {});
