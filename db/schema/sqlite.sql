-- Site database for SQLite (the embedded default). Times and date-times are
-- stored as text, "HH:MM:SS" and "YYYY-MM-DD HH:MM:SS", as the ODBC driver writes them.

CREATE TABLE IF NOT EXISTS loop (
  id integer NOT NULL PRIMARY KEY,
  name varchar(64) NOT NULL DEFAULT '',
  port integer NOT NULL DEFAULT 1,
  enabled tinyint NOT NULL DEFAULT 1,
  rfmodem tinyint NOT NULL DEFAULT 0,
  lastupdate datetime NULL
);
CREATE INDEX IF NOT EXISTS loop_name ON loop (name);

CREATE TABLE IF NOT EXISTS settings (
  id integer PRIMARY KEY AUTOINCREMENT,
  reset_dadid tinyint NOT NULL DEFAULT 0,
  AUTO_RESET tinyint NOT NULL DEFAULT 0,
  AUTO_RESET_GROUP tinyint NOT NULL DEFAULT 0,
  AUTO_RESET_PATHWAY tinyint NOT NULL DEFAULT 0,
  reset_time time NULL,
  AUTO_NOW tinyint NOT NULL DEFAULT 0,
  AUTO_NOW_GRP tinyint NOT NULL DEFAULT 0,
  soft_pb tinyint NOT NULL DEFAULT 0,
  soft_group tinyint NOT NULL DEFAULT 0,
  soft_path tinyint NOT NULL DEFAULT 0,
  stup_pbrst integer NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS lot (
  id integer NOT NULL PRIMARY KEY,
  name varchar(40) NOT NULL DEFAULT '',
  lot_count integer NOT NULL DEFAULT 0,
  max_capacity integer NOT NULL DEFAULT 0,
  AUTO_R_COUNT tinyint NOT NULL DEFAULT 0,
  auto_r_time time NULL,
  reset_amt integer NOT NULL DEFAULT 0,
  cnt_reset_flag tinyint NOT NULL DEFAULT 0,
  cnt_reset_time time NULL,
  cnt_reset_amt integer NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS device (
  id integer NOT NULL PRIMARY KEY,
  loop_id integer NOT NULL DEFAULT 0,
  lot_id integer NOT NULL DEFAULT 0,
  addr_ess integer NOT NULL DEFAULT 0,
  name varchar(40) NOT NULL DEFAULT '',
  dir_ection integer NOT NULL DEFAULT 0,
  device_type integer NOT NULL DEFAULT 0,
  msg_id integer NOT NULL DEFAULT 0,
  open_pulse double NOT NULL DEFAULT 1,
  special_out integer NOT NULL DEFAULT 0,
  no_path tinyint NOT NULL DEFAULT 0,
  debit_flag tinyint NOT NULL DEFAULT 0,
  perm_open tinyint NOT NULL DEFAULT 0,
  open_flag tinyint NOT NULL DEFAULT 0,
  gate_up integer NOT NULL DEFAULT 0,
  online_flag integer NOT NULL DEFAULT 0,
  count1 integer NOT NULL DEFAULT 0,
  count2 integer NOT NULL DEFAULT 0,
  count3 integer NOT NULL DEFAULT 0,
  count4 integer NOT NULL DEFAULT 0,
  count5 integer NOT NULL DEFAULT 0,
  count_soft integer NOT NULL DEFAULT 0,
  lf_enabled integer NOT NULL DEFAULT 0,
  lf_output integer NOT NULL DEFAULT 0,
  lf_output_flag tinyint NOT NULL DEFAULT 0,
  lf_sign integer NOT NULL DEFAULT 0,
  lf_sign_flag tinyint NOT NULL DEFAULT 0,
  door_input integer NOT NULL DEFAULT 0,
  ajar_timer integer NOT NULL DEFAULT 0,
  ajar_output integer NOT NULL DEFAULT 0,
  door_ajar integer NOT NULL DEFAULT 0,
  alarm_ack integer NOT NULL DEFAULT 0,
  fire_input integer NOT NULL DEFAULT 0,
  fire_flag tinyint NOT NULL DEFAULT 0,
  remote_user varchar(40) NOT NULL DEFAULT '',
  remote_ip varchar(45) NOT NULL DEFAULT '',
  ptr_paper integer NULL,
  ptr_hdwr integer NULL,
  ptr_fail integer NULL,
  ptr_stat integer NULL,
  ptr_paper2 integer NULL,
  ptr_hdwr2 integer NULL,
  ptr_fail2 integer NULL,
  ptr_stat2 integer NULL
);
CREATE INDEX IF NOT EXISTS device_loop_addr ON device (loop_id, addr_ess);
CREATE INDEX IF NOT EXISTS device_lot ON device (lot_id);

CREATE TABLE IF NOT EXISTS messages (
  id integer NOT NULL PRIMARY KEY,
  idle varchar(40) NOT NULL DEFAULT '',
  gateup varchar(40) NOT NULL DEFAULT '',
  accepted varchar(40) NOT NULL DEFAULT '',
  not_on_file varchar(40) NOT NULL DEFAULT '',
  access varchar(40) NOT NULL DEFAULT '',
  inac_tive varchar(40) NOT NULL DEFAULT '',
  passback varchar(40) NOT NULL DEFAULT '',
  max_group varchar(40) NOT NULL DEFAULT '',
  not_on_path varchar(40) NOT NULL DEFAULT ''
);

CREATE TABLE IF NOT EXISTS spots (
  number integer NOT NULL,
  floor integer NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS spots_number ON spots (number);

CREATE TABLE IF NOT EXISTS tickinv (
  id integer PRIMARY KEY AUTOINCREMENT,
  barcode varchar(16) NOT NULL DEFAULT '',
  ticket integer NOT NULL DEFAULT 0,
  issuerid integer NULL,
  takerid integer NULL,
  status integer NOT NULL DEFAULT 0,
  in_date datetime NULL,
  out_date datetime NULL,
  l_date datetime NULL,
  online integer NULL,
  security integer NOT NULL DEFAULT 0,
  tran_id integer NULL
);
CREATE INDEX IF NOT EXISTS tickinv_barcode ON tickinv (barcode);
CREATE INDEX IF NOT EXISTS tickinv_ticket ON tickinv (ticket);

CREATE TABLE IF NOT EXISTS trans (
  id integer PRIMARY KEY AUTOINCREMENT,
  card_no double NULL,
  dat_e datetime NULL,
  device_id integer NOT NULL DEFAULT 0,
  error_code integer NOT NULL DEFAULT 0,
  error_desc varchar(40) NOT NULL DEFAULT '',
  cardno double NULL,
  device_name varchar(40) NOT NULL DEFAULT '',
  first_name varchar(40) NOT NULL DEFAULT '',
  last_name varchar(60) NOT NULL DEFAULT '',
  mem_flag tinyint NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS trans_date ON trans (dat_e);

CREATE TABLE IF NOT EXISTS card_type (
  id integer NOT NULL PRIMARY KEY,
  name varchar(40) NOT NULL DEFAULT '',
  access_level_id integer NOT NULL DEFAULT 0,
  msg_id integer NOT NULL DEFAULT 0,
  days integer NOT NULL DEFAULT 0,
  global_expiry tinyint NOT NULL DEFAULT 0,
  first_use_flg tinyint NOT NULL DEFAULT 0,
  no_expiry_flg tinyint NOT NULL DEFAULT 0,
  date_set tinyint NOT NULL DEFAULT 0,
  start_dt datetime NULL,
  exp_iry datetime NULL,
  prev_strt datetime NULL,
  prev_exp datetime NULL,
  debit_flg tinyint NOT NULL DEFAULT 0,
  debit_reset_flag tinyint NOT NULL DEFAULT 0,
  uses integer NOT NULL DEFAULT 0,
  debit_time_limit integer NOT NULL DEFAULT 0,
  debit_time_limit_flg tinyint NOT NULL DEFAULT 0,
  pathway_id integer NOT NULL DEFAULT 0,
  ignore_passback tinyint NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS card (
  id integer PRIMARY KEY AUTOINCREMENT,
  number double NOT NULL,
  type_id integer NOT NULL DEFAULT 0,
  first_name varchar(40) NOT NULL DEFAULT '',
  last_name varchar(60) NOT NULL DEFAULT '',
  str_eet varchar(80) NOT NULL DEFAULT '',
  misc_1 varchar(40) NOT NULL DEFAULT '',
  misc_2 varchar(40) NOT NULL DEFAULT '',
  misc_3 varchar(40) NOT NULL DEFAULT '',
  misc_4 varchar(40) NOT NULL DEFAULT '',
  space_no integer NOT NULL DEFAULT 0,
  date_set tinyint NOT NULL DEFAULT 0,
  start_dt datetime NULL,
  exp_iry datetime NULL,
  prev_strt datetime NULL,
  prev_exp datetime NULL,
  debit_left integer NOT NULL DEFAULT 0,
  debit_date datetime NULL,
  debit_reset_date datetime NULL,
  group_id integer NOT NULL DEFAULT 0,
  in_gate integer NOT NULL DEFAULT -1,
  in_lot integer NOT NULL DEFAULT 0,
  trans_dt datetime NULL
);
CREATE INDEX IF NOT EXISTS card_number ON card (number);

CREATE TABLE IF NOT EXISTS holiday (
  holi_day date NOT NULL,
  tab_num integer NOT NULL DEFAULT 1
);
CREATE INDEX IF NOT EXISTS holiday_day ON holiday (holi_day);

CREATE TABLE IF NOT EXISTS a_l_range (
  id integer NOT NULL PRIMARY KEY,
  access_level_id integer NOT NULL DEFAULT 0,
  day_1 tinyint NOT NULL DEFAULT 0,
  day_2 tinyint NOT NULL DEFAULT 0,
  day_3 tinyint NOT NULL DEFAULT 0,
  day_4 tinyint NOT NULL DEFAULT 0,
  day_5 tinyint NOT NULL DEFAULT 0,
  day_6 tinyint NOT NULL DEFAULT 0,
  day_7 tinyint NOT NULL DEFAULT 0,
  day_8 tinyint NOT NULL DEFAULT 0,
  day_9 tinyint NOT NULL DEFAULT 0,
  start_time time NULL,
  end_time time NULL
);
CREATE INDEX IF NOT EXISTS a_l_range_level ON a_l_range (access_level_id);

CREATE TABLE IF NOT EXISTS a_l_range_device (
  a_l_range_id integer NOT NULL,
  device_id integer NOT NULL
);
CREATE INDEX IF NOT EXISTS a_l_range_device_key ON a_l_range_device (a_l_range_id, device_id);

CREATE TABLE IF NOT EXISTS card_pool (
  id integer NOT NULL PRIMARY KEY,
  max_inlot integer NOT NULL DEFAULT 0,
  cur_inlot integer NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS pathway_ft (
  pathway_id integer NOT NULL,
  from_device integer NOT NULL,
  to_device integer NOT NULL,
  time_limit integer NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS pathway_ft_key ON pathway_ft (pathway_id, from_device, to_device);

CREATE TABLE IF NOT EXISTS counters (
  id integer NOT NULL PRIMARY KEY,
  lot_id integer NOT NULL DEFAULT 0
);

CREATE TABLE IF NOT EXISTS counter_item (
  device_id integer NOT NULL,
  input integer NOT NULL,
  cntr_id integer NOT NULL,
  chg_lot integer NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS counter_item_key ON counter_item (device_id, input);

CREATE TABLE IF NOT EXISTS gateoc (
  device_id integer NOT NULL,
  dayofweek integer NOT NULL,
  start_time time NULL,
  end_time time NULL
);
CREATE INDEX IF NOT EXISTS gateoc_key ON gateoc (device_id, dayofweek);

-- The offline decisions a computer has booked here, each once.
CREATE TABLE IF NOT EXISTS velix_journal (
  computer varchar(64) NOT NULL,
  sequence bigint NOT NULL,
  decided_at datetime NULL,
  applied_at datetime NULL,
  PRIMARY KEY (computer, sequence)
);
